#include "fakehost.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <cstring>

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

void FakeHost::OpenUrl(const QString& url) {
  urls.push_back(url);
}

bool FakeHost::Confirm(QWidget*, const QString& caption, const QString& text) {
  confirms.push_back({caption, text});
  return onConfirm ? onConfirm(text) : false;
}

void FakeHost::InfoBox(QWidget*, const QString& caption, const QString& text) {
  infos.push_back({caption, text});
  if (onInfo) onInfo(text);
}

QString FakeHost::OpenFileName(QWidget*, const QString&) {
  return openPath;
}

bool FakeHost::ConfirmReplace(QWidget*, const QString& path) {
  replaces.push_back(path);
  return onReplace ? onReplace(path) : false;
}

int FakeHost::Choose(QWidget*, const QString& caption, const QString& text,
                     const QStringList& buttons, int safe) {
  chooses.push_back({caption, text});
  return onChoose ? onChoose(text, buttons) : safe;
}

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

void GuiWorld::Show() {
  if (win) win->show();
}

SimDevice& GuiWorld::AddController(uint32_t id, uint32_t ip, int mode, int doors) {
  SimDevice& dev = net.AddDevice(id, ip, mode);
  const int self = dev.AddBusDevice(id, 4, 4, 2, true);
  const int reader = dev.AddBusDevice(MakeId(1, IdSerial(id) + 100), 0, 2, 1, false);
  for (int i = 0; i < doors; ++i) {
    SimDoor door;
    for (uint16_t& r : door.refs) r = kNoRef;
    std::memset(door.params, 0, sizeof door.params);
    door.params[kParType] = 1;
    door.params[kParBoltPulse] = uint8_t(4 + i);
    door.params[kParOpenTime] = 20;
    if (i < 4) door.refs[0] = uint16_t((self << 8) | i);
    if (i == 0) door.refs[14] = uint16_t(reader << 8);
    dev.doors.push_back(door);
  }
  return dev;
}

void GuiWorld::Announce(const SimDevice& dev) {
  std::vector<uint8_t> b(28, 0);
  std::memcpy(b.data(), "MMDO", 4);
  PutU32(b.data() + 4, dev.id);
  b[10] = dev.StatusByte(clock.now);
  b[11] = '1';
  PutU32(b.data() + 24, Crc32(b.data(), 24));
  net.Inject(b, DottedIp(dev.ip), clock.now);
}

std::string GuiWorld::Received(const SimDevice& dev, size_t from) const {
  std::string s;
  for (size_t i = from; i < dev.received.size(); ++i) {
    const std::vector<uint8_t>& b = dev.received[i].bytes;
    if (dev.received[i].broadcast)
      s += '*';
    else if (b.size() >= 19 && b[3] == 'C')
      s += char(b[10]);
    else if (b.size() >= 4)
      s += char(b[3]);
  }
  return s;
}

void GuiWorld::ClickEthLine(int row) {
  auto* box = Find<QListWidget>("EthLstBox");
  if (!box || row < 0 || row >= box->count()) return;
  const QPoint at = box->visualItemRect(box->item(row)).center();
  QWidget* vp = box->viewport();
  const QPointF local(at), global(vp->mapToGlobal(at));
  QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(vp, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(vp, &release);
}

void GuiWorld::KeyOnEthList(int key) {
  auto* box = Find<QListWidget>("EthLstBox");
  if (!box) return;
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(box, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(box, &release);
}

std::vector<QString> GuiWorld::Lines(const char* listName) const {
  std::vector<QString> out;
  if (auto* box = Find<QListWidget>(listName))
    for (int i = 0; i < box->count(); ++i) out.push_back(box->item(i)->text());
  return out;
}
