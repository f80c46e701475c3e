// Atomic replacement of a file: contents, permissions, links, and failures that leave the
// earlier file and no temporary behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "config/atomicfile.h"

namespace {

class AtomicFile : public ::testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/feldaro-atomic-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    for (const std::string& f : Files()) ::unlink((dir + "/" + f).c_str());
    ::rmdir(dir.c_str());
  }
  std::string P(const std::string& name) const { return dir + "/" + name; }
  std::set<std::string> Files() const {
    std::set<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
      while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
          out.insert(e->d_name);
      ::closedir(d);
    }
    return out;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return in ? s.str() : "<missing>";
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
};

TEST_F(AtomicFile, CreatesAndReplacesKeepingModesAndSymbolicLinks) {
  std::string err = "stale";
  const std::string bytes("a\r\nb\0c\r\n", 8);
  const mode_t mask = ::umask(022);
  ASSERT_TRUE(WriteFileAtomically(P("r.txt"), bytes, err)) << err;
  ::umask(mask);
  EXPECT_EQ(err, "");
  EXPECT_EQ(Read(P("r.txt")), bytes);
  EXPECT_EQ(Mode(P("r.txt")), 0644u);

  // Replacing keeps the replaced file's permissions; an empty text empties the file.
  ASSERT_EQ(::chmod(P("r.txt").c_str(), 0600), 0);
  ASSERT_TRUE(WriteFileAtomically(P("r.txt"), "nowy", err)) << err;
  EXPECT_EQ(Read(P("r.txt")), "nowy");
  EXPECT_EQ(Mode(P("r.txt")), 0600u);

  // Through a relative symbolic link the target is replaced and the link stays.
  ASSERT_EQ(::symlink("r.txt", P("link.txt").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomically(P("link.txt"), "przez link", err)) << err;
  struct stat st {};
  ASSERT_EQ(::lstat(P("link.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Read(P("r.txt")), "przez link");

  // Unlike a plain overwrite, a hard link keeps the old contents.
  ASSERT_EQ(::link(P("r.txt").c_str(), P("hard.txt").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomically(P("r.txt"), "", err)) << err;
  EXPECT_EQ(Read(P("r.txt")), "");
  EXPECT_EQ(Read(P("hard.txt")), "przez link");
  EXPECT_EQ(Files(), (std::set<std::string>{"r.txt", "link.txt", "hard.txt"}));
}

TEST_F(AtomicFile, FailuresNameThePathAndTheReasonAndChangeNothing) {
  std::string err;
  const std::string missing = P("nie/ma/r.txt");
  EXPECT_FALSE(WriteFileAtomically(missing, "x", err));
  EXPECT_EQ(err, missing + ": " + std::strerror(ENOENT));

  // A write that fails half-way (the file size limit, as a full disk would) leaves the
  // earlier file as it was and no temporary file.
  ASSERT_TRUE(WriteFileAtomically(P("r.txt"), "poprzedni", err)) << err;
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool ok = WriteFileAtomically(P("r.txt"), std::string(5000, 'x'), err);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, P("r.txt") + ": " + std::strerror(EFBIG));
  EXPECT_EQ(Read(P("r.txt")), "poprzedni");
  EXPECT_EQ(Files(), std::set<std::string>{"r.txt"});
}

// A named pipe (as a terminal or /dev/null) is written into and stays what it was: a rename
// over it would leave a regular file in its place. A directory is refused.
TEST_F(AtomicFile, PipeIsWrittenIntoNotReplaced) {
  const std::string fifo = P("rura");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // The reading end first, so the writer's open does not wait; a pipe holds these bytes.
  const int rfd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(rfd, 0);
  std::string err;
  EXPECT_TRUE(WriteFileAtomically(fifo, "dokument", err)) << err;
  char buf[64];
  const ssize_t n = ::read(rfd, buf, sizeof buf);
  ::close(rfd);
  EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(n, 0))), "dokument");
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe was replaced by a file";
  EXPECT_EQ(Files(), std::set<std::string>{"rura"});

  ASSERT_EQ(::mkdir(P("katalog").c_str(), 0700), 0);
  EXPECT_FALSE(WriteFileAtomically(P("katalog"), "x", err));
  EXPECT_EQ(err, P("katalog") + ": " + std::strerror(EISDIR));
  ::rmdir(P("katalog").c_str());
}

}  // namespace
