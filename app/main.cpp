// Program entry: creates the main window, the help window and the location dialog, runs
// the event loop and takes them down again in reverse order. "feldaro PLAN.json" also opens
// the plan window on that file.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTranslator>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>

#include "link/posix_endpoint.h"
#include "ui/helpwin.h"
#include "ui/lokdlg.h"
#include "ui/mainwin.h"
#include "ui/planwin.h"
#include "ui/uihost.h"

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

// While the application object starts, a fatal toolkit message (no display, no platform
// plugin) ends the program with the toolkit's own words and exit status 1 instead of an
// abort and a core dump.
QtMessageHandler gDefaultHandler = nullptr;

void StartupMessage(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
  gDefaultHandler(type, ctx, msg);
  if (type == QtFatalMsg) {
    std::fflush(stderr);
    _exit(1);
  }
}

// An error that escapes a handler is shown instead of ending the program.
class FeldaroApp : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* ev) override {
    try {
      return QApplication::notify(receiver, ev);
    } catch (const std::exception& e) {
      QMessageBox::critical(nullptr, kErrorCaption, QString::fromLocal8Bit(e.what()));
    } catch (...) {
      QMessageBox::critical(nullptr, kErrorCaption, QString());
    }
    return false;
  }
};

// The installed theme icon, else the sizes built into the program.
QIcon AppIcon() {
  QIcon icon = QIcon::fromTheme(QStringLiteral("feldaro"));
  if (!icon.isNull()) return icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QString png = QStringLiteral(":/icons/%1/feldaro.png").arg(size);
    if (QFile::exists(png)) icon.addFile(png, QSize(size, size));
  }
  return icon;
}

}  // namespace

int main(int argc, char** argv) {
  gDefaultHandler = qInstallMessageHandler(StartupMessage);
  FeldaroApp app(argc, argv);
  qInstallMessageHandler(gDefaultHandler);
  // The shell finds the desktop entry (and its icon) by this name.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.feldaro.Feldaro"));
  QApplication::setWindowIcon(AppIcon());
  // Qt's own texts (the save dialog of "Raport", context menus, accessible names) in Polish,
  // as the rest of the window; without the translation installed they stay in English.
  QTranslator qtPolish;
  if (qtPolish.load(QLocale(QLocale::Polish, QLocale::Poland), QStringLiteral("qtbase"),
                    QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QCoreApplication::installTranslator(&qtPolish);

  // The endpoint and the clock outlive the windows: the main window ends its sessions
  // through them when it is destroyed.
  SystemClock clock;
  PosixEndpoint udp;
  QtUiHost host;

  // SIGINT and SIGTERM close the main window as its close box does, so sessions end.
  bool quitRequested = false;
  std::unique_ptr<QSocketNotifier> sigNotifier;
  if (InstallSignalPipe()) {
    sigNotifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(sigNotifier.get(), &QSocketNotifier::activated, [&quitRequested] {
      char buf[16];
      while (read(gSignalPipe[0], buf, sizeof buf) > 0) {
      }
      quitRequested = true;
      // Open boxes and dialogs give way first, then the main window closes.
      for (int i = 0; i < 16; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->close()) break;
      }
      // The main window closes its plan windows first, without their question about
      // unsaved edits, as its own unsaved passages are not kept either.
      if (MainWin) MainWin->Quit();
    });
  }

  // The link works on a thread of its own; the window shows at once, with the start-up
  // search running behind it.
  auto win = std::make_unique<TMainWin>(host, udp, clock, true, LinkThread::Worker);
  MainWin = win.get();
  // The program ends when the main window has closed, whatever else is open or whichever
  // event loop runs then (a box shown before the main loop started, for one).
  bool closed = false;
  win->onClosed = [&closed] {
    closed = true;
    QCoreApplication::quit();
  };
  win->FormCreate();
  auto help = std::make_unique<THelpWin>();
  HelpWin = help.get();
  auto lok = std::make_unique<TLokalizDlg>();
  LokalizDlg = lok.get();

  int rc = 0;
  if (!quitRequested) {
    win->show();
    // Keyboard input goes to the window from the start, also without a window manager.
    win->activateWindow();
    // "feldaro PLAN.json": the plan window over the main window, which keeps the link.
    const QStringList args = QApplication::arguments();
    if (args.size() > 1) win->OpenPlanWindow(args.at(1));
    if (!closed) rc = app.exec();
  }

  sigNotifier.reset();
  lok.reset();
  LokalizDlg = nullptr;
  help.reset();
  HelpWin = nullptr;
  win.reset();
  MainWin = nullptr;
  return rc;
}
