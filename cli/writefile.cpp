// TEMPORARY twin of config/atomicfile.cpp (see writefile.h); remove at the merge.
#include "writefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error) {
  const size_t cut = path.find_last_of('/');
  const std::string dir = cut == std::string::npos ? "." : path.substr(0, cut == 0 ? 1 : cut);
  const std::string base = cut == std::string::npos ? path : path.substr(cut + 1);
  std::string tmp = dir + "/." + base + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmp.c_str());
    error = std::strerror(err);
    return false;
  };
  struct stat old {};
  mode_t mode;
  if (::stat(path.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(fd, mode) != 0) return fail(errno);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += size_t(n);
  }
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    error = std::strerror(err);
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    error = std::strerror(err);
    return false;
  }
  return true;
}
