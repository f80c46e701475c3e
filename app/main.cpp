// Program entry: creates the main window, the help window and the location dialog, runs
// the event loop and takes them down again in reverse order. "feldaro PLAN.json" also opens
// the plan window on that file.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QIcon>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>
#include <cstdio>
#include <exception>
#include <memory>

#include "appplatform.h"
#include "link/system_endpoint.h"
#include "ui/helpwin.h"
#include "ui/lokdlg.h"
#include "ui/mainwin.h"
#include "ui/planwin.h"
#include "ui/uihost.h"

namespace {

// While the application object starts, a fatal toolkit message (no display, no platform
// plugin) ends the program with the toolkit's own words and exit status 1 instead of an
// abort and a core dump.
QtMessageHandler gDefaultHandler = nullptr;

void StartupMessage(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
  gDefaultHandler(type, ctx, msg);
  if (type == QtFatalMsg) {
    std::fflush(stderr);
    std::_Exit(1);
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
      QMessageBox::critical(nullptr, QStringLiteral("Error"), QString::fromUtf8(e.what()));
    } catch (...) {
      QMessageBox::critical(nullptr, QStringLiteral("Error"), QString());
    }
    return false;
  }
};

// The installed theme icon, else the sizes built into the program.
QIcon AppIcon() {
  QIcon icon = QIcon::fromTheme(QStringLiteral("feldaro"));
  if (!icon.isNull()) return icon;
  for (const QString& dir : IconFolders()) {
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
      const QString png = QStringLiteral("%1/%2/feldaro.png").arg(dir).arg(size);
      if (QFile::exists(png)) icon.addFile(png, QSize(size, size));
    }
    if (!icon.isNull()) break;
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
                    QStringLiteral("_"), QtTranslationsFolder()))
    QCoreApplication::installTranslator(&qtPolish);

  // The endpoint and the clock outlive the windows: the main window ends its sessions
  // through them when it is destroyed.
  SystemClock clock;
  SystemEndpoint udp;
  QtUiHost host;

  std::unique_ptr<THelpWin> help;
  std::unique_ptr<TLokalizDlg> lok;
  std::unique_ptr<TMainWin> win;
  std::unique_ptr<EndWatch> endWatch;
  // Reverse order of creation; destroying the main window ends its sessions.
  auto takeDown = [&] {
    endWatch.reset();
    lok.reset();
    LokalizDlg = nullptr;
    help.reset();
    HelpWin = nullptr;
    win.reset();
    MainWin = nullptr;
  };

  // SIGINT and SIGTERM, or the end of the Windows session, close the main window as its
  // close box does, so sessions end.
  bool quitRequested = false;
  endWatch = WatchForEnd(
      [&quitRequested] {
        quitRequested = true;
        // Open boxes and dialogs give way first, then the main window closes.
        for (int i = 0; i < 16; ++i) {
          QWidget* modal = QApplication::activeModalWidget();
          if (!modal || !modal->close()) break;
        }
        // Plan windows close without their question about unsaved edits, as the main
        // window's unsaved passages are not kept either.
        for (QWidget* w : QApplication::topLevelWidgets())
          if (w->objectName() == QStringLiteral("TPlanWin"))
            static_cast<TPlanWin*>(w)->ForceClose();
        if (MainWin) MainWin->Quit();
      },
      // Windows ends the program soon after its question: the window's close runs to its
      // end here, and the sessions end with the window.
      [&] {
        QElapsedTimer waited;
        waited.start();
        while (MainWin && MainWin->isVisible() && waited.elapsed() < 3000)
          QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        takeDown();
      });

  // The link works on a thread of its own; the window shows at once, with the start-up
  // search running behind it.
  win = std::make_unique<TMainWin>(host, udp, clock, true, LinkThread::Worker);
  MainWin = win.get();
  win->FormCreate();
  help = std::make_unique<THelpWin>();
  HelpWin = help.get();
  lok = std::make_unique<TLokalizDlg>();
  LokalizDlg = lok.get();

  int rc = 0;
  if (!quitRequested && win) {
    win->show();
    // Keyboard input goes to the window from the start, also without a window manager.
    win->activateWindow();
    // "feldaro PLAN.json": the plan window over the main window, which keeps the link.
    const QStringList args = QApplication::arguments();
    if (args.size() > 1) win->OpenPlanWindow(args.at(1));
    rc = app.exec();
  }

  takeDown();
  return rc;
}
