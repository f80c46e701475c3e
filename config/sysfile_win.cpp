// Files and clocks on Windows: UTF-8 names become UTF-16 at the system's calls.
#include <cerrno>

#include "sysfile.h"
#include "wide_win.h"

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(Wide(utf8));
}

bool UtcTm(std::time_t t, std::tm& out) {
  return gmtime_s(&out, &t) == 0;
}

bool LocalTm(std::time_t t, std::tm& out) {
  return localtime_s(&out, &t) == 0;
}

PathKind KindOf(const std::string& path, bool follow) {
  (void)follow;  // a reparse point is reported as what it is marked as
  const DWORD a = GetFileAttributesW(Wide(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathKind::None;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Dir;
  if (a & FILE_ATTRIBUTE_DEVICE) return PathKind::Other;
  return PathKind::File;
}

bool MakeDir(const std::string& path, int& err) {
  if (CreateDirectoryW(Wide(path).c_str(), nullptr)) return true;
  err = ErrnoOf(GetLastError());
  return false;
}
