// Files and clocks through the system's own calls, with UTF-8 file names on every platform.
#pragma once
#include <ctime>
#include <filesystem>
#include <string>

// A path for the standard library's streams (std::ifstream and the like) from a UTF-8 name.
std::filesystem::path FsPath(const std::string& utf8);

// Broken-down time, UTC or local; false when the system cannot convert t.
bool UtcTm(std::time_t t, std::tm& out);
bool LocalTm(std::time_t t, std::tm& out);

enum class PathKind { None, File, Dir, Other };
// What a path names; with follow, a symbolic link counts as what it points to.
PathKind KindOf(const std::string& path, bool follow = true);
// Creates one folder; false with errno's number in err.
bool MakeDir(const std::string& path, int& err);
