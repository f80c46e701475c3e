// Atomic replacement of a file on Windows: UTF-8 names with Polish letters, the reserved
// device names and reparse points refused with nothing written, and failures that keep the
// earlier file and leave no temporary behind.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "config/atomicfile.h"
#include "config/wide_win.h"

namespace {

class AtomicFileWin : public ::testing::Test {
 protected:
  // A folder of its own, under a name with Polish letters.
  std::string dir;
  void SetUp() override {
    wchar_t tmp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, tmp), 0u);
    dir = Utf8(std::wstring(tmp)) + "feldaro-Łukasz-" + std::to_string(GetCurrentProcessId()) +
          "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(CreateDirectoryW(Wide(dir).c_str(), nullptr)) << dir;
  }
  void TearDown() override {
    for (const std::string& f : Files()) {
      SetFileAttributesW(Wide(P(f)).c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(Wide(P(f)).c_str())) RemoveDirectoryW(Wide(P(f)).c_str());
    }
    RemoveDirectoryW(Wide(dir).c_str());
  }
  std::string P(const std::string& name) const { return dir + "\\" + name; }
  // The names in the folder, in UTF-8.
  std::set<std::string> Files() const {
    std::set<std::string> out;
    WIN32_FIND_DATAW fd;
    const HANDLE h = FindFirstFileW(Wide(dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
      const std::wstring n = fd.cFileName;
      if (n != L"." && n != L"..") out.insert(Utf8(n));
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return out;
  }
  static std::string Read(const std::string& path) {
    const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string out;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    CloseHandle(h);
    return out;
  }
};

TEST_F(AtomicFileWin, WritesAndReplacesUnderPolishNamesLeavingNoTemporary) {
  const std::string path = P("Budynek Ż – raport źdźbło.txt");
  std::string err;
  int en = -1;
  ASSERT_TRUE(WriteFileAtomically(path, "pierwszy\r\n", err, &en)) << err;
  EXPECT_EQ(en, 0);
  EXPECT_EQ(Read(path), "pierwszy\r\n");
  // The name on disk is the UTF-8 name given, letter for letter.
  EXPECT_EQ(Files(), std::set<std::string>{"Budynek Ż – raport źdźbło.txt"});
  // A hidden file keeps its attribute through the replacement.
  ASSERT_TRUE(SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_HIDDEN));
  const std::string big(300000, 'x');
  ASSERT_TRUE(WriteFileAtomically(path, big, err)) << err;
  EXPECT_EQ(Read(path), big);
  EXPECT_EQ(Files().size(), 1u);
  EXPECT_TRUE(GetFileAttributesW(Wide(path).c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(AtomicFileWin, RefusesReservedDeviceNamesAndWritesNothing) {
  for (const char* name : {"CON", "con", "PRN", "AUX.json", "NUL", "nul.txt", "NUL .txt", "COM1",
                           "com9.pdf", "LPT1", "Lpt9.report.txt", "CONIN$"}) {
    std::string err;
    int en = -1;
    EXPECT_FALSE(WriteFileAtomically(P(name), "x", err, &en)) << name;
    EXPECT_NE(err.find("nic nie zastąpiono"), std::string::npos) << name << ": " << err;
    EXPECT_EQ(en, 0) << name;
  }
  EXPECT_TRUE(Files().empty());
  // Names that only look like devices are files like any other.
  for (const char* name : {"CONSOLE.txt", "COM10.txt", "LPT.json", "NULL", "aux_k27.txt"}) {
    std::string err;
    EXPECT_TRUE(WriteFileAtomically(P(name), "x", err)) << name << ": " << err;
    EXPECT_EQ(Read(P(name)), "x") << name;
  }
  EXPECT_EQ(Files().size(), 5u);
}

TEST_F(AtomicFileWin, RefusesFoldersAndReparsePoints) {
  ASSERT_TRUE(CreateDirectoryW(Wide(P("Łódź")).c_str(), nullptr));
  std::string err;
  EXPECT_FALSE(WriteFileAtomically(P("Łódź"), "x", err));
  EXPECT_NE(err.find("katalog"), std::string::npos) << err;
  ASSERT_TRUE(WriteFileAtomically(P("cel.txt"), "cel", err)) << err;
  if (!CreateSymbolicLinkW(Wide(P("link.txt")).c_str(), Wide(P("cel.txt")).c_str(),
                           SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
    GTEST_SKIP() << "no symbolic links here: " << SystemMessage(GetLastError());
  // Wine makes the link a Unix one, which its directory listing does not show as such.
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW(Wide(P("link.txt")).c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) GTEST_SKIP() << "the link is not listed as a reparse point";
  FindClose(find);
  ASSERT_TRUE(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_FALSE(WriteFileAtomically(P("link.txt"), "nowy", err));
  EXPECT_NE(err.find("nic nie zastąpiono"), std::string::npos) << err;
  EXPECT_EQ(Read(P("cel.txt")), "cel");
}

TEST_F(AtomicFileWin, AFailedReplacementKeepsTheOldFile) {
  // A name so long that no temporary file fits beside it: the replacement fails before
  // anything is moved. (The \\?\ form lifts the limit on the whole path's length; a name
  // stays within 255 characters.)
  const std::string name = std::string(240, 'k') + ".json";
  const std::string path = "\\\\?\\" + P(name);
  {
    const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << SystemMessage(GetLastError());
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "stary", 5, &n, nullptr));
    CloseHandle(h);
  }
  std::string err;
  int en = 0;
  EXPECT_FALSE(WriteFileAtomically(path, "nowy", err, &en));
  EXPECT_NE(en, 0);
  EXPECT_EQ(err.rfind(path + ": ", 0), 0u) << err;
  EXPECT_EQ(Read(path), "stary");
  EXPECT_EQ(Files(), std::set<std::string>{name});
  // A folder that does not exist: nothing is made.
  EXPECT_FALSE(WriteFileAtomically(P("brak\\plik.txt"), "x", err, &en));
  EXPECT_EQ(en, ENOENT);
  EXPECT_EQ(Files().size(), 1u);
}

}  // namespace
