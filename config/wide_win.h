// Windows: file names and texts are UTF-8 inside the program and UTF-16 at every call into
// the system. Included by the Windows files only.
#pragma once
#include <windows.h>

#include <cerrno>
#include <string>

// UTF-8 to the system's UTF-16; bytes that are no UTF-8 become U+FFFD.
inline std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

inline std::string Utf8(const wchar_t* w, size_t len) {
  if (len == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, int(len), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, int(len), s.data(), n, nullptr, nullptr);
  return s;
}

inline std::string Utf8(const std::wstring& w) {
  return Utf8(w.data(), w.size());
}

// The system's message for a Windows error code, in UTF-8 and on one line.
inline std::string SystemMessage(DWORD code) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text = n && buf ? Utf8(buf, n) : std::string();
  if (buf) LocalFree(buf);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "błąd systemu Windows nr " + std::to_string(code);
  return text;
}

// The errno number closest to a Windows error code, for texts shared with POSIX systems.
inline int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    default:
      return EIO;
  }
}

// The folder the running program lies in, in UTF-8 with '/' separators and no trailing one.
inline std::string ProgramDir() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
    if (n == 0) return ".";
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  std::string dir = Utf8(buf);
  for (char& c : dir)
    if (c == '\\') c = '/';
  const size_t slash = dir.rfind('/');
  return slash == std::string::npos ? "." : dir.substr(0, slash);
}
