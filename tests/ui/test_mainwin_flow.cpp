// Main window: selecting devices, the one-second tick, bus device maintenance, writing,
// error boxes and shutdown, against simulated controllers in virtual time.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QWheelEvent>
#include <algorithm>
#include <array>
#include <cstring>

#include "tests/common/fakehost.h"

namespace {

constexpr uint32_t kIpA = 0xC0A8010Au;  // 192.168.1.10
constexpr uint32_t kIpB = 0xC0A8010Bu;
constexpr uint32_t kIpC = 0xC0A8010Cu;

uint32_t K27(uint32_t serial) {
  return MakeId(327, serial);
}

std::string Cmds(const SimDevice& d, size_t from = 0) {
  const std::vector<char> c = d.Commands();
  return std::string(c.begin() + std::min(from, c.size()), c.end());
}

int CountOf(const std::string& s, char c) {
  return int(std::count(s.begin(), s.end(), c));
}

bool AnyLineContains(const std::vector<QString>& lines, const char* text) {
  for (const QString& l : lines)
    if (l.contains(QString::fromUtf8(text))) return true;
  return false;
}

// The passage configuration the device holds, as the tool would encode it.
std::vector<uint8_t> Encoded(const CtrlCfg& cfg) {
  uint8_t buf[kCfgBufSize];
  const int n = EncodeDoors(cfg, buf);
  return std::vector<uint8_t>(buf, buf + std::max(n, 0));
}

TEST(MainWinSelect, LateDeviceInsertedBeforeTheSelectedOneKeepsTheSelection) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 1);
  SimDevice& ten = w.AddController(K27(10), kIpB, 2, 2);
  w.Start();
  w.ClickEthLine(1);
  ASSERT_EQ(w.win->SelectedIndex(), 1);
  ASSERT_EQ(w.win->Cfg.doorCount, 2);
  EXPECT_EQ(Cmds(ten), "KDC");

  SimDevice& five = w.AddController(K27(5), kIpC, 2, 3);
  w.Announce(five);
  w.Tick();
  ASSERT_EQ(w.win->Devs().count, 3);
  const std::vector<QString> lines = w.Lines("EthLstBox");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[1].startsWith(" K27_00005,"));
  EXPECT_TRUE(lines[2].startsWith(" K27_00010,"));
  EXPECT_EQ(w.win->SelectedIndex(), 2);
  auto* box = w.Find<QListWidget>("EthLstBox");
  EXPECT_TRUE(box->item(2)->isSelected());
  EXPECT_FALSE(box->item(1)->isSelected());
  // The configuration of K27_00010 stays loaded; K27_00005 was not read.
  EXPECT_EQ(w.win->Cfg.doorCount, 2);
  EXPECT_TRUE(five.Commands().empty());
  EXPECT_EQ(w.Find<QGroupBox>("SelDevBox")->title(), QString(" K27_00010 "));
}

TEST(MainWinSelect, ClickingTheSelectedLineAgainDiscardsEdits) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 2);
  w.Start();
  const uint8_t stored = w.win->Cfg.doors[1].params[kParBoltPulse];
  w.win->Cfg.doors[1].params[kParBoltPulse] = uint8_t(stored + 10);
  SetOutput(w.win->Cfg, 0, 0, kNoRef, 0);
  const size_t seen = ctrl.Commands().size();
  w.ClickEthLine(0);
  EXPECT_EQ(Cmds(ctrl, seen), "DC");  // the session is still open: no new key
  EXPECT_EQ(w.win->Cfg.doors[1].params[kParBoltPulse], stored);
  EXPECT_EQ(w.win->Cfg.doors[0].outputs[0], ctrl.doors[0].refs[0]);
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinSelect, KeyboardMoveLoadsTheNewLineOnce) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 1);
  SimDevice& b = w.AddController(K27(3), kIpB, 2, 3);
  w.Start();
  w.Find<QListWidget>("EthLstBox")->setFocus();
  w.KeyOnEthList(Qt::Key_Down);
  EXPECT_EQ(w.win->SelectedIndex(), 1);
  EXPECT_EQ(Cmds(b), "KDC");
  EXPECT_EQ(w.win->Cfg.doorCount, 3);
}

TEST(MainWinSelect, MouseClickOnAnotherLineLoadsItOnce) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 1);
  SimDevice& b = w.AddController(K27(3), kIpB, 2, 3);
  w.Start();
  w.ClickEthLine(1);
  EXPECT_EQ(Cmds(b), "KDC");
  EXPECT_EQ(CountOf(w.Received(b), 'O'), 2);  // the selection and its session check
}

// Real mouse and key input on the Ethernet list: after every action the highlighted line is
// the device every action addresses, and each change of line made by the user loads the
// new line exactly once (a click on the line already selected loads it again).
TEST(MainWinSelect, HighlightedLineIsAlwaysTheLoadedDeviceWhateverTheUserDoes) {
  GuiWorld w;
  SimDevice* c[3] = {&w.AddController(K27(2), kIpA, 2, 1), &w.AddController(K27(3), kIpB, 2, 2),
                     &w.AddController(K27(4), kIpC, 2, 3)};
  w.Start();
  w.Show();
  auto* box = w.Find<QListWidget>("EthLstBox");
  QWidget* vp = box->viewport();
  auto at = [&](int row) { return box->visualItemRect(box->item(row)).center(); };
  std::array<int, 3> loads = {1, 0, 0};
  auto check = [&](int line, const char* step) {
    SCOPED_TRACE(step);
    const UdpDevSet& set = w.win->Devs();
    ASSERT_EQ(box->selectedItems().size(), 1);
    EXPECT_EQ(box->row(box->selectedItems()[0]), line);
    EXPECT_EQ(box->currentRow(), line);
    const int selected = w.win->SelectedIndex();
    ASSERT_EQ(selected, line);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(CountOf(Cmds(*c[i]), 'C'), loads[size_t(i)]) << i;
    EXPECT_EQ(w.win->Cfg.doorCount, set.dev[selected].id == K27(4)   ? 3
                                    : set.dev[selected].id == K27(3) ? 2
                                                                     : 1);
  };
  check(0, "start-up");
  QTest::mouseClick(vp, Qt::LeftButton, {}, at(1));
  ++loads[1];
  check(1, "click on another line");
  QTest::mouseClick(vp, Qt::LeftButton, {}, at(1));
  ++loads[1];
  check(1, "click on the selected line");
  QTest::mousePress(vp, Qt::LeftButton, {}, at(2));
  QTest::mouseMove(vp, at(0));
  QTest::mouseRelease(vp, Qt::LeftButton, {}, at(0));
  ++loads[2];
  ++loads[0];
  check(0, "press on one line, drag to another, release");
  QTest::keyClick(box, Qt::Key_Down);
  ++loads[1];
  check(1, "keyboard after the drag");
  QWheelEvent wheel(QPointF(at(1)), QPointF(vp->mapToGlobal(at(1))), {}, QPoint(0, -120),
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(vp, &wheel);
  check(1, "wheel");
  QTest::mouseDClick(vp, Qt::LeftButton, {}, at(0));
  ++loads[0];
  check(0, "double click");

  // A tick rebuilds the list between press and release: a device found late goes first.
  SimDevice& late = w.AddController(K27(1), 0xC0A8010Du, 2, 4);
  QTest::mousePress(vp, Qt::LeftButton, {}, at(2));
  ++loads[2];
  w.Announce(late);
  w.Tick();
  ASSERT_EQ(box->count(), 4);
  QTest::mouseRelease(vp, Qt::LeftButton, {}, at(2));
  EXPECT_TRUE(late.Commands().empty());
  check(3, "tick between press and release");
  QTest::keyClick(box, Qt::Key_Up);
  ++loads[1];
  check(2, "keyboard after the tick");
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinSelect, DeviceThatIsNotAControllerShowsNoBoxAndEmptiesTheGroup) {
  GuiWorld w;
  SimDevice& term = w.net.AddDevice(MakeId(101, 4), kIpB, 2);  // a time recorder terminal
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 2);
  w.Start();
  EXPECT_EQ(w.win->Devs().dev[0].id, term.id);
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(w.win->Cfg.doorCount, 0);
  EXPECT_TRUE(term.Commands().empty());
  EXPECT_TRUE(w.Find<QGroupBox>("SelDevBox")->title().isEmpty());

  w.ClickEthLine(1);
  ASSERT_EQ(w.win->Cfg.doorCount, 2);
  EXPECT_EQ(Cmds(ctrl), "KDC");
  EXPECT_FALSE(w.Lines("DevListBox").empty());

  w.ClickEthLine(0);
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(w.win->Cfg.doorCount, 0);
  EXPECT_EQ(w.win->Cfg.listedCount, 0);
  EXPECT_TRUE(w.Lines("DevListBox").empty());
  EXPECT_TRUE(w.Find<QGroupBox>("SelDevBox")->title().isEmpty());
  EXPECT_FALSE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
  EXPECT_FALSE(w.Find<QPushButton>("RapCfgBtn")->isEnabled());
  EXPECT_FALSE(w.Find<QTabBar>("DoorTc")->isEnabled());
}

TEST(MainWinSelect, FailedStatusQueryEmptiesTheConfigurationOfTheEarlierDevice) {
  GuiWorld w;
  SimDevice& a = w.AddController(K27(2), kIpA, 2, 2);
  SimDevice& b = w.AddController(K27(3), kIpB, 2, 1);
  w.Start();
  ASSERT_EQ(w.win->Cfg.doorCount, 2);
  b.faults.offline = true;
  w.ClickEthLine(1);
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 1:"));
  EXPECT_TRUE(w.host.errors[0].text.contains("K27_00003"));
  EXPECT_EQ(w.win->SelectedIndex(), 1);
  EXPECT_EQ(w.win->Cfg.doorCount, 0);
  EXPECT_EQ(w.win->Cfg.listedCount, 0);
  EXPECT_TRUE(w.Lines("DevListBox").empty());
  EXPECT_TRUE(w.Find<QGroupBox>("SelDevBox")->title().isEmpty());
  EXPECT_FALSE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
  // Even pressed directly, "Zapisz" can never put A's passages into another controller.
  w.win->WrCfgBtnClick();
  EXPECT_TRUE(a.written.empty());
  EXPECT_TRUE(b.written.empty());
}

TEST(MainWinSelect, FailedConfigurationReadLeavesTheModelEmpty) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 2);
  SimDevice& b = w.AddController(K27(3), kIpB, 2, 1);
  w.Start();
  b.faults.silentFor = 'C';
  w.ClickEthLine(1);
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 6 (r.'C')"))
      << w.host.errors[0].text.toStdString();
  EXPECT_EQ(w.win->Cfg.doorCount, 0);
  EXPECT_EQ(w.win->Cfg.listedCount, 0);
}

TEST(MainWinSelect, ForeignSessionShowsErrorTwoOnSelectionOnly) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 1);
  SimDevice& b = w.AddController(K27(3), kIpB, 2, 2);
  b.foreignSession = true;
  w.Start();
  EXPECT_TRUE(w.host.errors.empty());
  w.ClickEthLine(1);
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 2:"));
  EXPECT_TRUE(w.Lines("EthLstBox")[1].contains("Serwis"));
  EXPECT_EQ(w.win->Cfg.doorCount, 0);
  for (int i = 0; i < 6; ++i) w.Tick();
  w.win->SearchEthBtnClick();
  w.Tick();
  EXPECT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(b.Commands().empty());
  // Selecting it again says so again.
  w.ClickEthLine(1);
  EXPECT_EQ(w.host.errors.size(), 2u);
}

TEST(MainWinTick, ControllerSwitchedToBlockadeKeepsItsConfiguration) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 2);
  w.Start();
  w.win->Cfg.doors[0].params[kParOpenTime] = 77;
  ctrl.mode = 0;
  w.Tick();
  EXPECT_TRUE(w.Lines("EthLstBox")[0].contains("Blokada"));
  EXPECT_EQ(w.win->Cfg.doorCount, 2);
  EXPECT_EQ(w.win->Cfg.doors[0].params[kParOpenTime], 77);
  EXPECT_TRUE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinTick, ControllerSwitchedBackFromBlockadeIsLoadedWithoutAClick) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 0, 2);
  w.Start();
  ASSERT_EQ(w.host.errors.size(), 1u);  // error 9 at start-up
  ASSERT_EQ(w.win->Cfg.doorCount, 0);
  w.Tick();
  EXPECT_EQ(w.host.errors.size(), 1u);  // refreshes of a blocked controller stay quiet
  ctrl.mode = 2;
  w.Tick();
  EXPECT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.Lines("EthLstBox")[0].contains("Serwis"));
  EXPECT_EQ(w.win->Cfg.doorCount, 2);
  // Loaded by the list refresh; the tick's own poll follows and finds nothing new.
  EXPECT_EQ(Cmds(ctrl), "KDCD");
  EXPECT_TRUE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
}

TEST(MainWinTick, SelectedDeviceThatStopsAnsweringShowsUnavailableAndKeepsTheModel) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 2);
  w.Start();
  ctrl.faults.offline = true;
  w.Tick();
  EXPECT_TRUE(w.Lines("EthLstBox")[0].contains("Niedostępny"));
  EXPECT_EQ(w.win->Cfg.doorCount, 2);
  EXPECT_TRUE(w.host.errors.empty());
  ctrl.faults.offline = false;
  w.Tick();
  EXPECT_TRUE(w.Lines("EthLstBox")[0].contains("Serwis"));
}

TEST(MainWinTick, KeepAliveGoesToADeviceInSessionEveryFifthTick) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 1);
  w.Start();
  ASSERT_TRUE(w.win->Devs().dev[0].session);
  std::vector<int> withKeepAlive;
  for (int t = 1; t <= 11; ++t) {
    const size_t seen = ctrl.Commands().size();
    w.Tick();
    if (CountOf(Cmds(ctrl, seen), 'S') > 0) withKeepAlive.push_back(t);
    EXPECT_EQ(CountOf(Cmds(ctrl, seen), 'S'), t % 5 == 1 ? 1 : 0) << "tick " << t;
  }
  EXPECT_EQ(withKeepAlive, (std::vector<int>{1, 6, 11}));
  EXPECT_EQ(KeepAliveStart, 1);
  EXPECT_TRUE(ctrl.SessionOpen(w.clock.now));
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinTick, KeepAliveServesEveryFifthRecordInTurn) {
  GuiWorld w;
  std::vector<SimDevice*> ctrls;
  for (uint32_t s = 1; s <= 7; ++s) ctrls.push_back(&w.AddController(K27(s), kIpA + s, 2, 1));
  w.Start();
  // Open a session with every controller by selecting each one.
  for (int i = 0; i < 7; ++i) w.ClickEthLine(i);
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(w.win->Devs().dev[i].session) << i;
  KeepAliveStart = 1;
  std::vector<size_t> seen;
  for (SimDevice* d : ctrls) seen.push_back(d->Commands().size());
  w.Tick();
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(CountOf(Cmds(*ctrls[size_t(i)], seen[size_t(i)]), 'S'), (i == 1 || i == 6) ? 1 : 0)
        << "record " << i;
  EXPECT_EQ(KeepAliveStart, 2);
}

TEST(MainWinTick, FailingEndpointShowsOneBoxUntilATickCompletes) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 1);
  w.Start();
  w.net.failure = "Operation not permitted";
  for (int i = 0; i < 5; ++i) w.Tick();
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_EQ(w.host.errors[0].text, QString("Operation not permitted"));
  EXPECT_FALSE(w.win->ShowTimerErrors);
  w.net.failure.clear();
  w.Tick();
  EXPECT_TRUE(w.win->ShowTimerErrors);
  w.net.failure = "Operation not permitted";
  w.Tick();
  w.Tick();
  EXPECT_EQ(w.host.errors.size(), 2u);
}

TEST(MainWinTick, FailingEndpointAtStartUpIsShownOnce) {
  GuiWorld w;
  w.net.failure = "Address already in use";
  w.Start();
  ASSERT_EQ(w.host.errors.size(), 1u);
  for (int i = 0; i < 4; ++i) w.Tick();
  EXPECT_EQ(w.host.errors.size(), 1u);
  // Pressing the search button reports it, every time.
  w.win->SearchEthBtnClick();
  EXPECT_EQ(w.host.errors.size(), 2u);
}

TEST(MainWinTick, LinkErrorsInTicksAreShownEveryTimeButNeverStacked) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 1);
  w.Start();
  // The session lapses on the controller and it refuses new ones: every poll fails.
  w.clock.Advance(kSimSessionMs + 1000);
  ctrl.faults.silentFor = 'K';
  int depth = 0, deepest = 0;
  size_t sentInside = 0;
  w.host.onError = [&](const QString&) {
    ++depth;
    deepest = std::max(deepest, depth);
    const size_t before = w.net.sentByTool.size();
    w.Tick();  // the timer keeps falling due while the box is open
    w.Tick();
    sentInside += w.net.sentByTool.size() - before;
    --depth;
  };
  w.Tick();
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 3:"));
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(sentInside, 0u);
  EXPECT_EQ(w.win->modalDepth, 0);
  w.Tick();
  EXPECT_EQ(w.host.errors.size(), 2u);  // shown again once the first box is closed
  EXPECT_EQ(deepest, 1);
  // The configuration that was loaded stays.
  EXPECT_EQ(w.win->Cfg.doorCount, 1);
}

// Something inside the open box's loop raises another error: it opens no second box on
// top of the first, and comes in a box of its own once the first has closed.
TEST(MainWinTick, ErrorRaisedWhileABoxIsOpenDoesNotOpenASecondOne) {
  GuiWorld w;
  w.Start();
  std::vector<int> depths;
  w.host.onError = [&](const QString& text) {
    depths.push_back(w.win->modalDepth);
    if (text == QString("first")) w.win->ShowError("second");
  };
  w.win->ShowError("first");
  ASSERT_EQ(w.host.errors.size(), 2u);
  EXPECT_EQ(w.host.errors[0].text, QString("first"));
  EXPECT_EQ(w.host.errors[1].text, QString("second"));
  EXPECT_EQ(depths, (std::vector<int>{1, 1}));
  EXPECT_EQ(w.win->modalDepth, 0);
  w.host.onError = nullptr;
  w.win->ShowError("third");
  EXPECT_EQ(w.host.errors.size(), 3u);
}

// A controller with an inactive reader R01_00009 and a new reader R01_00012.
SimDevice& MaintenanceController(GuiWorld& w) {
  SimDevice& ctrl = w.net.AddDevice(K27(2), kIpA, 2);
  ctrl.AddBusDevice(ctrl.id, 4, 4, 2, true);
  const int old = ctrl.AddBusDevice(MakeId(1, 9), 0, 2, 1, false, kStInactive);
  ctrl.AddBusDevice(MakeId(1, 12), 0, 2, 1, false, kStNew);
  SimDoor door;
  for (uint16_t& r : door.refs) r = kNoRef;
  std::memset(door.params, 0, sizeof door.params);
  door.refs[0] = 0x0000;               // bolt: controller output 1
  door.refs[14] = uint16_t(old << 8);  // reader 1: the inactive reader
  ctrl.doors.push_back(door);
  return ctrl;
}

// The command went through but the read that follows it fails: the error is shown once,
// the model stays as it was (nothing half-read), and the next tick's poll shows the table.
TEST(MainWinMaintenance, FailedReadAfterTheCommandKeepsTheModelUntilTheNextPoll) {
  for (const char* button : {"DelLostBtn", "ReplaceBtn"}) {
    SCOPED_TRACE(button);
    GuiWorld w;
    SimDevice& ctrl = MaintenanceController(w);
    w.Start();
    ctrl.faults.silentFor = 'C';
    w.Tick();  // the tick inside "Usuń nieaktywne" then has nothing new to show
    const CtrlCfg before = w.win->Cfg;
    const std::vector<QString> linesBefore = w.Lines("DevListBox");
    w.Find<QPushButton>(button)->click();
    ASSERT_EQ(w.host.errors.size(), 1u);
    EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 6 (r.'C')"))
        << w.host.errors[0].text.toStdString();
    EXPECT_EQ(std::memcmp(&w.win->Cfg, &before, sizeof before), 0);
    EXPECT_EQ(w.Lines("DevListBox"), linesBefore);
    ctrl.faults.silentFor = 0;
    w.Tick();
    EXPECT_EQ(w.host.errors.size(), 1u);
    const std::vector<QString> lines = w.Lines("DevListBox");
    EXPECT_FALSE(AnyLineContains(lines, "R01_00009"));
    EXPECT_EQ(lines.size(), 2u);
  }
}

TEST(MainWinMaintenance, InactiveAndNewReaderOfferOnePair) {
  GuiWorld w;
  MaintenanceController(w);
  w.Start();
  EXPECT_TRUE(w.Find<QPushButton>("DelLostBtn")->isEnabled());
  auto* repl = w.Find<QComboBox>("ReplCb");
  ASSERT_EQ(repl->count(), 1);
  EXPECT_EQ(repl->itemText(0), QString("R01_00009 <-- R01_00012"));
  EXPECT_EQ(repl->currentIndex(), 0);
  EXPECT_TRUE(repl->isEnabled());
  EXPECT_TRUE(w.Find<QPushButton>("ReplaceBtn")->isEnabled());
  EXPECT_TRUE(w.Find<QLabel>("ReplLb")->isEnabled());
  const std::vector<QString> lines = w.Lines("DevListBox");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(AnyLineContains(lines, "(nieaktywny)"));
  EXPECT_TRUE(AnyLineContains(lines, "(nowy)"));
}

TEST(MainWinMaintenance, DeleteLostRunsATickRemovesTheInactiveDeviceAndDropsEdits) {
  GuiWorld w;
  SimDevice& ctrl = MaintenanceController(w);
  w.Start();
  w.win->Cfg.doors[0].params[kParBoltPulse] = 55;  // an unsaved edit
  const size_t seen = ctrl.received.size();
  KeepAliveStart = 0;
  w.Find<QPushButton>("DelLostBtn")->click();
  EXPECT_TRUE(w.host.errors.empty());
  // A whole tick (status, poll, keep-alive), then the command and a fresh read.
  EXPECT_EQ(w.Received(ctrl, seen), "ODOSOFODC");
  EXPECT_EQ(w.win->Cfg.doors[0].params[kParBoltPulse], ctrl.doors[0].params[kParBoltPulse]);
  const std::vector<QString> lines = w.Lines("DevListBox");
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_FALSE(AnyLineContains(lines, "R01_00009"));
  EXPECT_FALSE(AnyLineContains(lines, "(nieaktywny)"));
  EXPECT_FALSE(w.Find<QPushButton>("DelLostBtn")->isEnabled());
  EXPECT_EQ(w.Find<QComboBox>("ReplCb")->count(), 0);
  EXPECT_FALSE(w.Find<QPushButton>("ReplaceBtn")->isEnabled());
}

TEST(MainWinMaintenance, ReplaceMovesTheNewReaderInAndItsMarkFadesAtTheTicks) {
  GuiWorld w;
  SimDevice& ctrl = MaintenanceController(w);
  w.Start();
  w.win->Cfg.doors[0].params[kParOpenTime] = 33;
  const size_t seen = ctrl.Commands().size();
  w.Find<QPushButton>("ReplaceBtn")->click();
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(Cmds(ctrl, seen), "RDC");
  EXPECT_EQ(w.win->Cfg.doors[0].params[kParOpenTime], ctrl.doors[0].params[kParOpenTime]);
  std::vector<QString> lines = w.Lines("DevListBox");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_FALSE(AnyLineContains(lines, "R01_00009"));
  ASSERT_TRUE(AnyLineContains(lines, "R01_00012"));
  EXPECT_TRUE(AnyLineContains(lines, "(nieaktywny)"));
  EXPECT_EQ(w.Find<QComboBox>("ReplCb")->count(), 0);
  // Within a few seconds the mark goes without anything being pressed.
  for (int i = 0; i < 5; ++i) w.Tick();
  lines = w.Lines("DevListBox");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(AnyLineContains(lines, "R01_00012"));
  EXPECT_FALSE(AnyLineContains(lines, "(nieaktywny)"));
  EXPECT_FALSE(w.Find<QPushButton>("DelLostBtn")->isEnabled());
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinMaintenance, RefusedCommandShowsTheErrorAndKeepsTheModel) {
  GuiWorld w;
  SimDevice& ctrl = MaintenanceController(w);
  w.Start();
  w.win->Cfg.doors[0].params[kParOpenTime] = 44;
  ctrl.faults.noAckFor = 'R';
  w.win->ReplaceBtnClick();
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 7 (r.'R')"));
  EXPECT_EQ(w.win->Cfg.doors[0].params[kParOpenTime], 44);
  EXPECT_EQ(w.Find<QComboBox>("ReplCb")->count(), 1);
}

TEST(MainWinMaintenance, ErrorInsideTheTickOfDeleteLostDoesNotStopTheCommand) {
  GuiWorld w;
  SimDevice& ctrl = MaintenanceController(w);
  w.Start();
  ctrl.faults.noAckFor = 'S';  // the tick's keep-alive is refused
  KeepAliveStart = 0;
  const size_t seen = ctrl.Commands().size();
  w.win->DelLostBtnClick();
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 7 (r.'S')"));
  EXPECT_EQ(Cmds(ctrl, seen), "DSFDC");
  EXPECT_EQ(w.Lines("DevListBox").size(), 2u);
}

TEST(MainWinTick, PollOfAControllerWithoutPassagesShowsTheNewListEvenWhenTheReadFails) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 0);
  w.Start();
  ASSERT_EQ(w.win->Cfg.doorCount, 0);
  ASSERT_EQ(w.Lines("DevListBox").size(), 2u);
  w.Tick();  // the record learns the session bit; a changed status would reload it
  ASSERT_TRUE(w.host.errors.empty());
  ctrl.AddBusDevice(MakeId(1, 77), 0, 2, 1, false, kStNew);
  ctrl.faults.silentFor = 'C';
  w.Tick();
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 6 (r.'C')"));
  const std::vector<QString> lines = w.Lines("DevListBox");
  EXPECT_EQ(lines.size(), 3u);
  EXPECT_TRUE(AnyLineContains(lines, "R01_00077"));
  // Once the controller answers again the configuration is read at the next change.
  ctrl.faults.silentFor = 0;
  ctrl.doors.push_back(ctrl.doors.empty() ? SimDoor{} : ctrl.doors[0]);
  for (uint16_t& r : ctrl.doors.back().refs) r = kNoRef;
  ctrl.AddBusDevice(MakeId(1, 78), 0, 2, 1, false, kStNew);
  w.Tick();
  EXPECT_EQ(w.win->Cfg.doorCount, 1);
  EXPECT_EQ(w.host.errors.size(), 1u) << w.host.errors.back().text.toStdString();
}

TEST(MainWinWrite, WriteSendsThePassagesAndNewMarksVanishAtTheNextTick) {
  GuiWorld w;
  SimDevice& ctrl = MaintenanceController(w);
  w.Start();
  SetOutput(w.win->Cfg, 0, 1, uint16_t(0x0001), 0);  // reminder on controller output 2
  w.win->Cfg.doors[0].params[kParBoltPulse] = 9;
  const std::vector<uint8_t> expected = Encoded(w.win->Cfg);
  ASSERT_TRUE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
  w.Find<QPushButton>("WrCfgBtn")->click();
  EXPECT_TRUE(w.host.errors.empty());
  ASSERT_EQ(ctrl.written.size(), 1u);
  EXPECT_EQ(ctrl.written[0], expected);
  EXPECT_EQ(ctrl.doors[0].params[kParBoltPulse], 9);
  // Nothing else changes until the tick shows that the controller accepted its list.
  EXPECT_TRUE(AnyLineContains(w.Lines("DevListBox"), "(nowy)"));
  EXPECT_EQ(w.Find<QComboBox>("ReplCb")->count(), 1);
  w.Tick();
  EXPECT_FALSE(AnyLineContains(w.Lines("DevListBox"), "(nowy)"));
  EXPECT_EQ(w.Find<QComboBox>("ReplCb")->count(), 0);
  EXPECT_FALSE(w.Find<QPushButton>("ReplaceBtn")->isEnabled());
  // The passages just written are still what the editor holds.
  EXPECT_EQ(w.win->Cfg.doors[0].params[kParBoltPulse], 9);
  // Selecting it again shows what the controller now holds: the same.
  w.ClickEthLine(0);
  EXPECT_EQ(Encoded(w.win->Cfg), expected);
}

// Another party took the session while ours lapsed: "Zapisz" shows error 2, sends no
// passage, and the edits stay for a later attempt.
TEST(MainWinWrite, WriteRefusedWithErrorTwoKeepsTheEdits) {
  GuiWorld w;
  SimDevice& ctrl = MaintenanceController(w);
  w.Start();
  w.clock.Advance(kSimSessionMs + 1000);  // our session ends on the controller
  ctrl.faults.silentFor = 'K';            // and cannot be opened again at the next tick
  w.Tick();
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 3:"));
  ctrl.faults.silentFor = 0;
  ctrl.foreignSession = true;
  w.win->Cfg.doors[0].params[kParBoltPulse] = 21;
  const std::vector<uint8_t> edited = Encoded(w.win->Cfg);
  const size_t seen = ctrl.Commands().size();
  w.Find<QPushButton>("WrCfgBtn")->click();
  ASSERT_EQ(w.host.errors.size(), 2u);
  EXPECT_TRUE(w.host.errors[1].text.contains("Błąd nr 2:"));
  EXPECT_TRUE(ctrl.written.empty());
  EXPECT_EQ(Cmds(ctrl, seen), "");
  EXPECT_EQ(Encoded(w.win->Cfg), edited);
  EXPECT_TRUE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
}

// A discovery answer waiting in the queue when "Zapisz" is pressed: the list takes the new
// device, the selection stays on the controller, and the edits are what is written.
TEST(MainWinWrite, PendingDiscoveryAnswerBeforeWriteKeepsTheEdits) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(5), kIpA, 2, 2);
  w.Start();
  SetOutput(w.win->Cfg, 1, 0, uint16_t(0x0002), 0);
  w.win->Cfg.doors[0].params[kParOpenTime] = 17;
  const std::vector<uint8_t> edited = Encoded(w.win->Cfg);
  SimDevice& early = w.AddController(K27(1), kIpB, 2, 1);
  w.Announce(early);
  w.Find<QPushButton>("WrCfgBtn")->click();
  EXPECT_TRUE(w.host.errors.empty());
  ASSERT_EQ(w.Lines("EthLstBox").size(), 2u);
  EXPECT_EQ(w.win->SelectedIndex(), 1);
  EXPECT_TRUE(w.Find<QListWidget>("EthLstBox")->item(1)->isSelected());
  ASSERT_EQ(ctrl.written.size(), 1u);
  EXPECT_EQ(ctrl.written[0], edited);
  EXPECT_EQ(Encoded(w.win->Cfg), edited);
  EXPECT_TRUE(early.Commands().empty());
}

TEST(MainWinWrite, WriteToABlockedControllerIsAttemptedAndEditsStay) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 2);
  w.Start();
  ctrl.mode = 0;
  ctrl.faults.noAckFor = 'c';
  w.Tick();
  w.win->Cfg.doors[1].params[kParBoltPulse] = 21;
  ASSERT_TRUE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
  const size_t seen = ctrl.Commands().size();
  w.win->WrCfgBtnClick();
  EXPECT_EQ(CountOf(Cmds(ctrl, seen), 'c'), 1);
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 7 (r.'c')"));
  EXPECT_EQ(w.win->Cfg.doors[1].params[kParBoltPulse], 21);
  EXPECT_TRUE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
}

TEST(MainWinClose, ClosingEndsTheOpenSessionWithAStatusQueryAndS) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 1);
  SimDevice& idle = w.AddController(K27(3), kIpB, 2, 1);
  w.Start();
  w.Show();
  ASSERT_TRUE(w.win->Devs().dev[0].session);
  const size_t seen = ctrl.received.size(), idleSeen = idle.received.size();
  w.Close();
  EXPECT_EQ(w.Received(ctrl, seen), "Os");
  EXPECT_FALSE(ctrl.SessionOpen(w.clock.now));
  EXPECT_EQ(w.Received(idle, idleSeen), "");
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinClose, ClosingWithoutASessionSendsNothing) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 0, 1);
  w.net.AddDevice(MakeId(101, 4), kIpB, 2);
  w.Start();
  const size_t sent = w.net.sentByTool.size();
  w.Close();
  EXPECT_EQ(w.net.sentByTool.size(), sent);
}

TEST(MainWinClose, UnacknowledgedEndOfSessionDoesNotStopTheShutdown) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 1);
  w.Start();
  ctrl.faults.noAckFor = 's';
  const size_t seen = ctrl.received.size();
  w.Close();
  EXPECT_EQ(w.win, nullptr);
  EXPECT_EQ(w.Received(ctrl, seen), "Os");
}

TEST(MainWinClose, NoTickRunsAfterTheWindowWasClosed) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 1);
  w.Start();
  w.Show();
  w.win->close();
  const size_t sent = w.net.sentByTool.size();
  w.Tick();
  EXPECT_EQ(w.net.sentByTool.size(), sent);
}

}  // namespace
