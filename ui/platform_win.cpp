// The window's platform pieces on Windows.
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <atomic>
#include <memory>

#include "platform.h"

std::string FileNameBytes(const QString& name) {
  return name.toStdString();  // UTF-8: the file modules widen it at the system's calls
}

QString FileMessage(const std::string& text) {
  return QString::fromStdString(text);
}

std::function<void()> MakeWakeup(QObject* owner, std::function<void()> onRing) {
  // A queued call to the owner's thread; a ring while one is still queued adds nothing.
  auto queued = std::make_shared<std::atomic<bool>>(false);
  return [owner, onRing, queued] {
    if (queued->exchange(true)) return;
    QMetaObject::invokeMethod(
        owner,
        [onRing, queued] {
          queued->store(false);
          onRing();
        },
        Qt::QueuedConnection);
  };
}
