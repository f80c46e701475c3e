// feldaro-cli's console on Windows: UTF-8 output, the confirmation read from the console,
// and Ctrl-C, Ctrl-Break and the console's closing through SetConsoleCtrlHandler.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "cli.h"
#include "config/wide_win.h"
#include "console.h"

namespace {

UINT gOldOutputCp = 0;

BOOL WINAPI OnCtrl(DWORD type) {
  gInterrupted = 1;
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return TRUE;
  // Closing the console, logging off, shutting down: the process ends as soon as this
  // returns, so the command gets the time to end its sessions (it exits on its own first).
  Sleep(4500);
  return TRUE;
}

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// What is typed arrives through a thread of its own, so the prompt can wait with a time-out
// and keep the sessions alive meanwhile.
struct Typed {
  std::mutex mu;
  std::condition_variable cv;
  std::string bytes;
  bool end = false;
  bool started = false;
};

Typed gTyped;

void ReadInput() {
  const HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
  const bool console = IsConsole(STD_INPUT_HANDLE);
  for (;;) {
    std::string got;
    bool end = false;
    if (console) {
      wchar_t buf[256];
      DWORD n = 0;
      if (!ReadConsoleW(h, buf, 256, &n, nullptr)) {
        end = GetLastError() != ERROR_OPERATION_ABORTED;
      } else if (n == 0) {
        end = !gInterrupted;  // Ctrl-C ends the read with nothing
      } else if (buf[0] == 0x1a) {
        end = true;  // Ctrl-Z: end of input
      } else {
        got = Utf8(buf, n);
      }
    } else {
      char buf[256];
      DWORD n = 0;
      if (!ReadFile(h, buf, sizeof buf, &n, nullptr) || n == 0)
        end = true;
      else
        got.assign(buf, n);
    }
    {
      std::lock_guard<std::mutex> lock(gTyped.mu);
      gTyped.bytes += got;
      gTyped.end = gTyped.end || end;
    }
    gTyped.cv.notify_all();
    if (end) return;
  }
}

}  // namespace

std::vector<std::string> CommandLineUtf8(int argc, char** argv) {
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(Utf8(std::wstring(wide[i])));
  LocalFree(wide);
  return out;
}

void ConsoleOpen() {
  // No CR LF translation: a report on standard output keeps its own line ends, a PDF its bytes.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
  gOldOutputCp = GetConsoleOutputCP();
  if (gOldOutputCp != 0 && SetConsoleOutputCP(CP_UTF8))
    std::atexit([] { SetConsoleOutputCP(gOldOutputCp); });
}

void WatchInterrupts() {
  SetConsoleCtrlHandler(OnCtrl, TRUE);
}

bool StdinIsTerminal() {
  return IsConsole(STD_INPUT_HANDLE);
}

bool StdoutIsTerminal() {
  return IsConsole(STD_OUTPUT_HANDLE);
}

int ConsoleReadByte(int timeoutMs, char& c) {
  std::unique_lock<std::mutex> lock(gTyped.mu);
  if (!gTyped.started) {
    gTyped.started = true;
    std::thread(ReadInput).detach();
  }
  gTyped.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [] { return !gTyped.bytes.empty() || gTyped.end || gInterrupted; });
  if (!gTyped.bytes.empty()) {
    c = gTyped.bytes.front();
    gTyped.bytes.erase(0, 1);
    return 1;
  }
  return gTyped.end ? -1 : 0;
}
