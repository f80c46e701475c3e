// Writing a file so that a failure never leaves a truncated file in place of an earlier one.
// TEMPORARY: stands in for config/atomicfile.h, which provides the same function; delete this
// file and writefile.cpp and include config/atomicfile.h once both are on one branch.
#pragma once
#include <string>
#include <string_view>

// Writes bytes to a temporary file beside path, syncs it and renames it over path (keeping
// the permissions of the file it replaces). False with the system's reason in error.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error);
