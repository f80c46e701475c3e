// Atomic replacement of a file on Windows: temporary file in the same folder,
// FlushFileBuffers, then ReplaceFileW (keeps the replaced file's attributes) or
// MoveFileExW over it.
#include <algorithm>
#include <cctype>
#include <string_view>

#include "atomicfile.h"
#include "wide_win.h"

namespace {

bool IsSep(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// A name Windows keeps for a device in every folder: "NUL", "nul.txt", "COM1.log", "Con .x".
bool IsReservedName(std::wstring name) {
  const size_t dot = name.find(L'.');
  if (dot != std::wstring::npos) name.resize(dot);
  while (!name.empty() && name.back() == L' ') name.pop_back();
  std::transform(name.begin(), name.end(), name.begin(),
                 [](wchar_t c) { return c < 128 ? wchar_t(std::toupper(int(c))) : c; });
  if (name == L"CON" || name == L"PRN" || name == L"AUX" || name == L"NUL" || name == L"CONIN$" ||
      name == L"CONOUT$")
    return true;
  if (name.size() == 4 && (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0))
    return name[3] >= L'1' && name[3] <= L'9';
  return false;
}

// A temporary file beside the target, removed again unless it was moved into place.
struct TempFile {
  std::wstring name;
  HANDLE h = INVALID_HANDLE_VALUE;
  bool keep = false;
  ~TempFile() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!keep && !name.empty()) DeleteFileW(name.c_str());
  }
};

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error,
                         int* errnum) {
  int dummy = 0;
  int& en = errnum ? *errnum : dummy;
  en = 0;
  error.clear();
  auto fail = [&](DWORD code) {
    en = ErrnoOf(code);
    error = path + ": " + SystemMessage(code);
    return false;
  };
  auto refuse = [&](const char* what) {
    error = path + ": " + what + "; nic nie zastąpiono";
    return false;
  };
  if (path.empty()) return fail(ERROR_PATH_NOT_FOUND);
  const std::wstring target = Wide(path);
  // "\\.\COM1" and the like name devices, not files.
  if (target.size() >= 4 && IsSep(target[0]) && IsSep(target[1]) && target[2] == L'.' &&
      IsSep(target[3]))
    return refuse("to urządzenie, nie zwykły plik");
  size_t slash = target.size();
  while (slash > 0 && !IsSep(target[slash - 1]) && target[slash - 1] != L':') --slash;
  const std::wstring dir = target.substr(0, slash);
  const std::wstring base = target.substr(slash);
  if (base.empty()) return fail(ERROR_DIRECTORY);
  // Writing to "NUL" or "COM1.txt" would reach the device; a rename over it is no file.
  if (IsReservedName(base)) return refuse("to nazwa urządzenia systemu Windows, nie zwykły plik");
  if (base.find_first_of(L"*?") != std::wstring::npos) return fail(ERROR_INVALID_NAME);
  // The folder's own entry for the name: a link is seen as the link, not as its target.
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW(target.c_str(), &entry);
  const bool exists = find != INVALID_HANDLE_VALUE;
  const DWORD attrs = exists ? entry.dwFileAttributes : 0;
  if (exists) {
    FindClose(find);
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT)
      return refuse("to dowiązanie symboliczne albo punkt połączenia, nie zwykły plik");
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) return refuse("to katalog, nie plik");
    if (attrs & FILE_ATTRIBUTE_DEVICE) return refuse("to urządzenie, nie zwykły plik");
  }

  TempFile tmp;
  // A name of its own: the program's id, the time and a counter; retried when taken.
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100 && tmp.h == INVALID_HANDLE_VALUE; ++attempt) {
    const std::wstring name = dir + L"." + base + L"." + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(GetTickCount64() % 1000000) + L"-" +
                              std::to_wstring(++counter) + L".tmp";
    tmp.h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (tmp.h != INVALID_HANDLE_VALUE) {
      tmp.name = name;
    } else if (GetLastError() != ERROR_FILE_EXISTS) {
      return fail(GetLastError());
    }
  }
  if (tmp.h == INVALID_HANDLE_VALUE) return fail(ERROR_FILE_EXISTS);

  // Short writes are taken one by one: a full disk shows up here.
  for (size_t done = 0; done < bytes.size();) {
    const DWORD chunk = DWORD(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD n = 0;
    if (!WriteFile(tmp.h, bytes.data() + done, chunk, &n, nullptr)) return fail(GetLastError());
    if (n == 0) return fail(ERROR_WRITE_FAULT);
    done += n;
  }
  if (!FlushFileBuffers(tmp.h)) return fail(GetLastError());
  const HANDLE h = tmp.h;
  tmp.h = INVALID_HANDLE_VALUE;
  if (!CloseHandle(h)) return fail(GetLastError());

  // The replaced file's attributes (hidden, archive, ...) go with the new contents, also where
  // the replacement below ends up a plain move.
  const DWORD keep = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  if (exists && (attrs & keep)) SetFileAttributesW(tmp.name.c_str(), attrs & keep);
  // ReplaceFileW keeps the replaced file's attributes and security; where the file system
  // cannot do that, a plain replacing move is what is left.
  if (exists && ReplaceFileW(target.c_str(), tmp.name.c_str(), nullptr,
                             REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    tmp.keep = true;
    return true;
  }
  if (!MoveFileExW(tmp.name.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return fail(GetLastError());
  tmp.keep = true;
  return true;
}
