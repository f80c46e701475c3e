// feldaro-cli's console on POSIX systems: signals and the terminal's file descriptors.
#include <poll.h>
#include <unistd.h>

#include <csignal>

#include "cli.h"
#include "console.h"

namespace {

void OnSignal(int) {
  gInterrupted = 1;
}

}  // namespace

std::vector<std::string> CommandLineUtf8(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void ConsoleOpen() {
  // The terminal takes UTF-8 and the streams carry bytes as they are.
}

void WatchInterrupts() {
  // No SA_RESTART: a prompt waiting for input returns at once.
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO);
}

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO);
}

int ConsoleReadByte(int timeoutMs, char& c) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return 0;
  return ::read(STDIN_FILENO, &c, 1) > 0 ? 1 : -1;
}
