// The program's start and end on Windows: the end of the session through Qt's session
// manager, and everything the program needs in the folder it lies in.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSessionManager>

#include "appplatform.h"

namespace {

class SessionWatch : public EndWatch {
 public:
  SessionWatch(std::function<void()> onEnd, std::function<void()> finish) {
    // WM_QUERYENDSESSION: a log-off or shutdown ends the program as SIGTERM does on Linux,
    // without a question; Windows ends the process soon after it is answered.
    conn_ = QObject::connect(
        qApp, &QGuiApplication::commitDataRequest, qApp,
        [onEnd, finish](QSessionManager&) {
          onEnd();
          finish();
        },
        Qt::DirectConnection);
  }
  ~SessionWatch() override { QObject::disconnect(conn_); }

 private:
  QMetaObject::Connection conn_;
};

}  // namespace

std::unique_ptr<EndWatch> WatchForEnd(std::function<void()> onEnd, std::function<void()> finish) {
  return std::make_unique<SessionWatch>(std::move(onEnd), std::move(finish));
}

QStringList IconFolders() {
  return {QStringLiteral(":/icons"), QCoreApplication::applicationDirPath() + "/icons"};
}

QString QtTranslationsFolder() {
  return QCoreApplication::applicationDirPath() + "/translations";
}
