// Files and clocks on POSIX systems: file names are bytes, passed on as they are.
#include <sys/stat.h>

#include <cerrno>

#include "sysfile.h"

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(utf8);
}

bool UtcTm(std::time_t t, std::tm& out) {
  return gmtime_r(&t, &out) != nullptr;
}

bool LocalTm(std::time_t t, std::tm& out) {
  return localtime_r(&t, &out) != nullptr;
}

PathKind KindOf(const std::string& path, bool follow) {
  struct stat st {};
  if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return PathKind::None;
  if (S_ISDIR(st.st_mode)) return PathKind::Dir;
  if (S_ISREG(st.st_mode)) return PathKind::File;
  return PathKind::Other;
}

bool MakeDir(const std::string& path, int& err) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  err = errno;
  return false;
}
