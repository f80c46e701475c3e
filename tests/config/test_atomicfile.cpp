// Atomic replacement of a file: contents, permissions, links, and failures that leave the
// earlier file and no temporary behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/atomicfile.h"

namespace {

#define ADD_FAILURE_IF_ROOT() \
  if (::geteuid() == 0) ADD_FAILURE() << "mknod failed as root: " << std::strerror(errno)

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

// Whatever exists at the path and is not a regular file is refused and stays as it was:
// a character device (as /dev/null is), a FIFO, a directory, a loop of symbolic links and
// a link to a FIFO. Everything is made inside the test's own folder.
TEST_F(AtomicFile, SpecialFilesAreRefusedAndLeftInPlace) {
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(P("dir").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("loop-b", P("loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", P("loop-b").c_str()), 0);
  ASSERT_EQ(::symlink("fifo", P("to-fifo").c_str()), 0);
  struct Case {
    std::string name;
    mode_t type;  // what lstat must still show afterwards
    const char* reason;
  };
  std::vector<Case> cases = {{"fifo", S_IFIFO, "potok nazwany (FIFO)"},
                             {"dir", S_IFDIR, "to katalog"},
                             {"loop-a", S_IFLNK, "pętla dowiązań symbolicznych"},
                             {"to-fifo", S_IFLNK, "potok nazwany (FIFO)"}};
  // A character device needs the right to make one (root, as sudo runs the tool).
  if (::mknod(P("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
    cases.push_back({"null", S_IFCHR, "urządzenie znakowe"});
  else
    ADD_FAILURE_IF_ROOT();
  for (const Case& c : cases) {
    std::string err;
    int en = -1;
    EXPECT_FALSE(WriteFileAtomically(P(c.name), "raport", err, &en)) << c.name;
    EXPECT_EQ(en, 0) << c.name;
    EXPECT_NE(err.find(P(c.name) + ": "), std::string::npos) << err;
    EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    EXPECT_NE(err.find("nic nie zastąpiono"), std::string::npos) << err;
    struct stat st {};
    ASSERT_EQ(::lstat(P(c.name).c_str(), &st), 0) << c.name;
    EXPECT_EQ(st.st_mode & S_IFMT, c.type) << c.name << " was replaced";
  }
  // No temporary file was left behind; a regular file beside them is still written.
  std::string err;
  EXPECT_TRUE(WriteFileAtomically(P("r.txt"), "raport", err)) << err;
  std::set<std::string> want = {"fifo", "dir", "loop-a", "loop-b", "to-fifo", "r.txt"};
  if (cases.size() == 5) want.insert("null");
  EXPECT_EQ(Files(), want);
  ::rmdir(P("dir").c_str());
}

}  // namespace
