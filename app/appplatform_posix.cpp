// The program's start and end on Linux: signals through a self-pipe, Qt's files where the
// system keeps them.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QLibraryInfo>
#include <QSocketNotifier>
#include <cerrno>

#include "appplatform.h"

namespace {

// Self-pipe: the signal handler only writes one byte; the event loop does the rest.
int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &byte, 1);
  errno = saved;
}

bool InstallSignalPipe() {
  if (pipe(gSignalPipe) != 0) return false;
  for (int fd : gSignalPipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

class SignalWatch : public EndWatch {
 public:
  explicit SignalWatch(std::function<void()> onEnd) {
    if (!InstallSignalPipe()) return;
    notifier_ = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [onEnd] {
      char buf[16];
      while (read(gSignalPipe[0], buf, sizeof buf) > 0) {
      }
      onEnd();
    });
  }

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

std::unique_ptr<EndWatch> WatchForEnd(std::function<void()> onEnd, std::function<void()>) {
  // The event loop returns after the close, and the program takes the rest down itself.
  return std::make_unique<SignalWatch>(std::move(onEnd));
}

QStringList IconFolders() {
  return {QStringLiteral(":/icons")};
}

QString QtTranslationsFolder() {
  return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
}
