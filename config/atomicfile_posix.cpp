// Atomic replacement of a file on POSIX systems: temporary file, fsync, rename.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "atomicfile.h"

namespace {

// The file a path finally names: symbolic links are followed (a dangling one to where it
// points), relative link targets taken from the link's directory.
std::string FinalTarget(std::string path) {
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) break;
    std::string target(buf, size_t(n));
    if (target[0] != '/') {
      const size_t slash = path.rfind('/');
      target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
    }
    path = target;
  }
  return path;
}

// A temporary file beside the target, removed again unless it was renamed into place.
struct TempFile {
  std::string name;
  int fd = -1;
  bool keep = false;
  ~TempFile() {
    if (fd >= 0) ::close(fd);
    if (!keep && !name.empty()) ::unlink(name.c_str());
  }
};

bool Fail(const std::string& path, int err, std::string& error) {
  error = path + ": " + std::strerror(err);
  return false;
}

// What a path that is not a regular file is, in the words of the report's user.
const char* KindText(mode_t mode) {
  if (S_ISDIR(mode)) return "to katalog, nie plik";
  if (S_ISCHR(mode)) return "to urządzenie znakowe, nie zwykły plik";
  if (S_ISBLK(mode)) return "to urządzenie blokowe, nie zwykły plik";
  if (S_ISFIFO(mode)) return "to potok nazwany (FIFO), nie zwykły plik";
  if (S_ISSOCK(mode)) return "to gniazdo, nie zwykły plik";
  return "to nie jest zwykły plik";
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error,
                         int* errnum) {
  int dummy = 0;
  int& en = errnum ? *errnum : dummy;
  en = 0;
  error.clear();
  auto fail = [&](int err) {
    en = err;
    return Fail(path, err, error);
  };
  if (path.empty()) return fail(ENOENT);
  // Renaming over a device, a FIFO or a directory would put a regular file in its place
  // (as root, /dev/null): only a regular file, or nothing yet, may be there.
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode)) {
      error = path + ": " + KindText(existing.st_mode) + "; nic nie zastąpiono";
      return false;
    }
  } else if (errno == ELOOP) {
    error = path + ": pętla dowiązań symbolicznych; nic nie zastąpiono";
    return false;
  }
  const std::string target = FinalTarget(path);
  struct stat last {};
  if (::lstat(target.c_str(), &last) == 0 && S_ISLNK(last.st_mode)) {
    error = path + ": zbyt długi łańcuch dowiązań symbolicznych; nic nie zastąpiono";
    return false;
  }
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.empty()) return fail(EISDIR);

  TempFile tmp;
  tmp.name = (slash == std::string::npos ? std::string() : dir) + "." + base + ".XXXXXX";
  tmp.fd = ::mkstemp(tmp.name.data());
  if (tmp.fd < 0) {
    const int err = errno;
    tmp.name.clear();
    return fail(err);
  }
  // Same permissions as the file it replaces, or what a newly created file would get.
  struct stat old {};
  mode_t mode;
  if (::stat(target.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(tmp.fd, mode) != 0) return fail(errno);

  // Short writes are taken one by one: a full disk or a size limit shows up here.
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(tmp.fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += size_t(n);
  }
  if (::fsync(tmp.fd) != 0) return fail(errno);
  const int fd = tmp.fd;
  tmp.fd = -1;
  if (::close(fd) != 0) return fail(errno);
  if (::rename(tmp.name.c_str(), target.c_str()) != 0) return fail(errno);
  tmp.keep = true;
  // The rename itself reaches the disk with the directory; a failure here changes nothing
  // the caller could act on.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}
