// Drives the real main window over real UDP the way an installer does, for the capture
// that the dissector's tests decode: start-up read of the first controller, "Zastąp", a new
// bolt with NC for passage 2 written with "Zapisz", "Usuń nieaktywne", closing the window.
//   quorinnet_capture_driver KEYFILE
// Writes "<device name> <signing key in hex>" of the controller's session to KEYFILE, so
// the dissector's key derivation can be checked against the link's. Exits 1 on any error
// box or a step that cannot be done.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTabBar>
#include <QThread>
#include <cstdio>
#include <memory>
#include <string>

#include "link/posix_endpoint.h"
#include "ui/mainwin.h"
#include "ui/uihost.h"

namespace {

// Error boxes are printed and counted instead of being shown.
class ScriptHost : public UiHost {
 public:
  int errors = 0;
  void ErrorBox(QWidget*, const QString& caption, const QString& text) override {
    ++errors;
    std::fprintf(stderr, "error box: %s: %s\n", caption.toUtf8().constData(),
                 text.toUtf8().constData());
  }
  int ExecDialog(QDialog*) override { return 0; }
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override {
    return {};
  }
  void OpenUrl(const QString&) override {}
};

// Lets the event loop (and with it the window's one-second timer) run for ms.
void Spin(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "capture driver: %s\n", what);
  std::exit(1);
}

// Lets the event loop run until the window's operations have ended (at most 10 s).
void SpinUntilIdle(const TMainWin& win) {
  QElapsedTimer t;
  t.start();
  Spin(20);
  while (!win.Idle()) {
    if (t.elapsed() > 10000) Fail("the window's operations did not end");
    Spin(10);
  }
}

template <class W>
W* Find(TMainWin& win, const char* name) {
  W* w = win.findChild<W*>(QString::fromLatin1(name));
  if (!w) Fail(name);
  return w;
}

void ClickButton(TMainWin& win, const char* name, const char* text) {
  auto* b = Find<QPushButton>(win, name);
  if (b->text() != QString::fromUtf8(text) || !b->isEnabled()) Fail(text);
  b->click();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s KEYFILE\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  SystemClock clock;
  PosixEndpoint udp;
  ScriptHost host;
  // As the program does it: the link on its worker thread, the window shown at once.
  auto win = std::make_unique<TMainWin>(host, udp, clock, true, LinkThread::Worker);
  MainWin = win.get();
  win->FormCreate();  // discovery, then the first controller is read
  win->show();
  SpinUntilIdle(*win);
  Spin(300);
  SpinUntilIdle(*win);

  UdpDev* dev = win->SelectedDev();
  if (!dev || !dev->session || win->Cfg.doorCount < 2) Fail("the first controller was not read");
  std::string hex;
  for (uint8_t b : dev->key) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  if (FILE* f = std::fopen(argv[1], "w")) {
    std::fprintf(f, "%s %s\n", DevName(dev->id).c_str(), hex.c_str());
    std::fclose(f);
  } else {
    Fail("cannot write the key file");
  }

  // "Zastąp": the new reader takes over the first inactive one (slot 2) and its settings.
  auto* pairs = Find<QComboBox>(*win, "ReplCb");
  if (pairs->currentText() != QStringLiteral("R05_00102 <-- R05_00109")) Fail("ReplCb");
  ClickButton(*win, "ReplaceBtn", "Zastąp");
  QElapsedTimer sinceReplace;
  sinceReplace.start();
  Spin(100);
  SpinUntilIdle(*win);

  // Passage 2: the controller's third output becomes the bolt, normally closed.
  Find<QTabBar>(*win, "DoorTc")->setCurrentIndex(1);
  Spin(50);
  auto* bolt = Find<QComboBox>(*win, "RygielCb");
  const int index = bolt->findData(uint(0x0002));
  if (index < 0) Fail("RygielCb does not offer the controller's third output");
  bolt->setCurrentIndex(index);
  emit bolt->activated(index);
  auto* nc = Find<QCheckBox>(*win, "RygielNC");
  if (!nc->isEnabled()) Fail("RygielNC is not enabled");
  nc->click();
  Spin(100);
  if (win->Cfg.doors[1].outputs[0] != 0x0082) Fail("the edit did not reach the model");

  ClickButton(*win, "WrCfgBtn", "Zapisz");
  // The controller shows the moved reader as inactive for a while after a replacement;
  // the removal waits until it is back, so it removes only the other inactive reader.
  Spin(3300 - int(sinceReplace.elapsed()));
  ClickButton(*win, "DelLostBtn", "Usuń nieaktywne");
  Spin(400);
  SpinUntilIdle(*win);

  win->close();
  win.reset();  // ends the session: status query, then 's'
  MainWin = nullptr;
  if (host.errors) Fail("the window showed an error");
  return 0;
}
