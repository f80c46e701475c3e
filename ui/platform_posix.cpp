// The window's platform pieces on Linux.
#include <sys/eventfd.h>
#include <unistd.h>

#include <QFile>
#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <stdexcept>

#include "platform.h"

std::string FileNameBytes(const QString& name) {
  return QFile::encodeName(name).toStdString();
}

QString FileMessage(const std::string& text) {
  return QFile::decodeName(QByteArray::fromStdString(text));
}

namespace {

// Owns the eventfd; closed with its owner, after the notifier on it.
class WakeFd : public QObject {
 public:
  WakeFd(int fd, QObject* parent) : QObject(parent), fd_(fd) {}
  ~WakeFd() override { close(fd_); }

 private:
  int fd_;
};

}  // namespace

std::function<void()> MakeWakeup(QObject* owner, std::function<void()> onRing) {
  // The worker only rings an eventfd: nothing of the toolkit's crosses the two threads.
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) throw std::runtime_error("eventfd failed");
  auto* holder = new WakeFd(fd, owner);
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, holder);
  QObject::connect(notifier, &QSocketNotifier::activated, holder, [fd, onRing] {
    uint64_t rung = 0;
    [[maybe_unused]] ssize_t n = read(fd, &rung, sizeof rung);
    onRing();
  });
  return [fd] {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
  };
}
