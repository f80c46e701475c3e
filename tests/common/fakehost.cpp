#include "fakehost.h"

#include <QApplication>
#include <QDialog>

#include "link/endpoint.h"

void FakeHost::ErrorBox(QWidget*, const QString& caption, const QString& text) {
  errors.push_back({caption, text});
  if (onError) onError(text);
}

int FakeHost::ExecDialog(QDialog* dlg) {
  dialogs.push_back(dlg);
  return onDialog ? onDialog(dlg) : int(QDialog::Rejected);
}

QString FakeHost::SaveFileName(QWidget*, const QString& suggested, const QString& filter,
                               const QString& defaultSuffix) {
  ++saveCalls;
  lastSuggested = suggested;
  lastFilter = filter;
  lastSuffix = defaultSuffix;
  return savePath;
}

void FakeHost::OpenUrl(const QString& url) { urls.push_back(url); }

void EnsureQtApp() {
  if (QApplication::instance()) return;
  static int argc = 1;
  static char arg0[] = "feldaro-test";
  static char* argv[] = {arg0, nullptr};
  new QApplication(argc, argv);
}

GuiWorld::GuiWorld() {
  EnsureQtApp();
  LinkSetEndpoint(&net);
  LinkSetClock(&clock);
  KeepAliveStart = 0;
  LoadedPage = -1;
}

GuiWorld::~GuiWorld() {
  Close();
  MainWin = nullptr;
  HelpWin = nullptr;
  LokalizDlg = nullptr;
}

void GuiWorld::Start() {
  win = std::make_unique<TMainWin>(host, net, clock, false);
  MainWin = win.get();
  win->FormCreate();
  help = std::make_unique<THelpWin>();
  HelpWin = help.get();
  lok = std::make_unique<TLokalizDlg>();
  LokalizDlg = lok.get();
}

void GuiWorld::Tick() {
  clock.Advance(1000);
  win->UDPTimerTimer();
}

void GuiWorld::Close() {
  if (!win) return;
  win->close();
  win.reset();
  MainWin = nullptr;
}
