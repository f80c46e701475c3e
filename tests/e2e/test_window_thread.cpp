// The window with its link on the worker thread, as the program runs it, over real UDP
// against feldaro-sim in network namespaces: the window's thread keeps its pace while a
// controller stays silent, and the results of the actions arrive in the order asked for.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "e2e_env.h"
#include "link/posix_endpoint.h"
#include "ui/mainwin.h"
#include "ui/planwin.h"
#include "ui/uihost.h"

using nlohmann::json;

namespace {

// Error boxes are recorded with the moment they opened, in sim-log lines seen by then.
class RecordingHost : public UiHost {
 public:
  std::vector<QString> errors;
  std::function<void()> onError;
  void ErrorBox(QWidget*, const QString&, const QString& text) override {
    errors.push_back(text);
    if (onError) onError();
  }
  int ExecDialog(QDialog*) override { return 0; }
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override {
    return {};
  }
  void OpenUrl(const QString&) override {}
  std::vector<QString> questions;
  int answer = -1;  // the button Choose answers; -1: the safe one
  int Choose(QWidget*, const QString&, const QString& text, const QStringList&, int safe) override {
    questions.push_back(text);
    return answer < 0 ? safe : answer;
  }
};

QApplication& App() {
  static int argc = 1;
  static char arg0[] = "e2e_test_window_thread";
  static char* argv[] = {arg0, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // Never destroyed: taken down among the exit handlers, after the toolkit's own statics,
  // it would crash once a window has been shown.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// A 5 ms timer on the window's thread; notes how much later than due each firing came.
struct Probe {
  QTimer timer;
  QElapsedTimer clock;
  qint64 last = -1;
  qint64 worstLateMs = 0;
  int firings = 0;
  Probe() {
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      const qint64 now = clock.elapsed();
      if (last >= 0) worstLateMs = std::max(worstLateMs, now - last - 5);
      last = now;
      ++firings;
    });
  }
  void Start() {
    clock.start();
    last = -1;
    worstLateMs = 0;
    firings = 0;
    timer.start();
  }
};

// Runs the event loop for ms.
void Spin(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Runs the event loop until pred holds or ms pass; returns whether it held.
template <class P>
bool SpinUntil(P pred, int ms) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

json Scenario() {
  json bus =
      json::array({{{"self", true}, {"outputs", 4}, {"inputs", 4}, {"readers", 2}, {"oc", true}},
                   {{"type", 5}, {"serial", 101}, {"number", 1}}});
  json doors = json::array(
      {{{"outputs", {{{"slot", 0}, {"index", 0}}}}, {"readers", {{{"slot", 1}, {"index", 0}}}}},
       {{"outputs", {{{"slot", 0}, {"index", 1}}}}}});
  json dev = {{"type", 327}, {"serial", 5}, {"address", "10.77.0.10"},
              {"mode", 2},   {"bus", bus},  {"doors", doors}};
  return json{{"devices", json::array({dev})}};
}

size_t CountRx(const std::string& log, const std::function<bool(const LogLine&)>& f) {
  const std::vector<LogLine> lines = ReadSimLog(log);
  return size_t(std::count_if(lines.begin(), lines.end(),
                              [&](const LogLine& l) { return l.dir == "RX" && f(l); }));
}

bool IsWrite(const LogLine& l) {
  return l.cmd == "c";
}
bool IsBroadcast(const LogLine& l) {
  return l.to == "255.255.255.255";
}

}  // namespace

TEST(E2EWindowThread, SilentControllerNeverHoldsTheWindowAndResultsArriveInOrder) {
  E2E_REQUIRE_NETNS();
  App();
  SimLan net("wthr");
  net.StartSim(Scenario().dump(), /*console=*/true);
  std::unique_ptr<PosixEndpoint> ep;
  {
    NetnsScope in(net.tool);
    ep = std::make_unique<PosixEndpoint>();
  }
  SystemClock clock;
  RecordingHost host;
  auto win = std::make_unique<TMainWin>(host, *ep, clock, true, LinkThread::Worker);

  // Start-up: the search runs behind the window, under a busy cursor.
  QElapsedTimer started;
  started.start();
  win->FormCreate();
  // A search held on this thread would take at least one answer wait; scheduling alone, even
  // on a loaded machine under a sanitizer, stays well below it.
  EXPECT_LT(started.elapsed(), kDefaultWaitMs) << "the start-up search held the window's thread";
  EXPECT_FALSE(win->Idle());
  EXPECT_EQ(win->cursor().shape(), Qt::BusyCursor);
  ASSERT_TRUE(SpinUntil([&] { return win->Idle() && win->Cfg.doorCount == 2; }, 5000))
      << "the controller was not loaded";
  EXPECT_NE(win->cursor().shape(), Qt::BusyCursor);
  ASSERT_TRUE(host.errors.empty()) << host.errors.front().toStdString();

  // The controller stops answering: a write waits its three attempts (or, when a tick has
  // found the controller gone first, fails at once), ticks wait on the status query.
  Probe probe;
  probe.Start();
  net.Console("hide K27_00005");

  // "Zapisz", then "Przeszukaj sieć": taken in that order, each once. When the write's
  // error box opens, the search has not sent its first broadcast yet.
  const size_t writesBefore = CountRx(net.log, IsWrite);
  const size_t broadcastsBefore = CountRx(net.log, IsBroadcast);
  size_t broadcastsAtError = 0;
  host.onError = [&] { broadcastsAtError = CountRx(net.log, IsBroadcast); };
  win->findChild<QPushButton*>("WrCfgBtn")->click();
  win->findChild<QPushButton*>("SearchEthBtn")->click();
  EXPECT_EQ(win->cursor().shape(), Qt::BusyCursor);
  // Editing goes on meanwhile and survives whatever the operations do.
  auto* nc = win->findChild<QCheckBox*>("RygielNC");
  ASSERT_NE(nc, nullptr);
  const bool ncBefore = nc->isChecked();
  nc->click();
  // Going through the passages refills the editor from the model meanwhile.
  auto* tabs = win->findChild<QTabBar*>("DoorTc");
  ASSERT_NE(tabs, nullptr);
  for (int i = 0; i < 20 && !win->Idle(); ++i) {
    tabs->setCurrentIndex(1 - tabs->currentIndex());
    Spin(20);
  }
  tabs->setCurrentIndex(0);
  ASSERT_TRUE(SpinUntil([&] { return win->Idle(); }, 5000));
  EXPECT_TRUE(SpinUntil([&] { return win->Idle() && !host.errors.empty(); }, 2000));

  ASSERT_EQ(host.errors.size(), 1u);
  const QString& error = host.errors[0];
  EXPECT_TRUE(error.startsWith(QStringLiteral("K27_00005"))) << error.toStdString();
  const size_t writes = CountRx(net.log, IsWrite) - writesBefore;
  if (error.contains(QStringLiteral("r.'c'")))
    EXPECT_EQ(writes, 3u) << "one write, three attempts";
  else
    EXPECT_EQ(writes, 0u) << error.toStdString();
  EXPECT_EQ(broadcastsAtError, broadcastsBefore) << "the search ran before the write ended";
  EXPECT_GE(CountRx(net.log, IsBroadcast) - broadcastsBefore, 3u) << "the search did not run";
  EXPECT_EQ((win->Cfg.doors[0].outputs[0] & 0x80) != 0, !ncBefore) << "the edit was lost";
  EXPECT_EQ(nc->isChecked(), !ncBefore);

  // A few more ticks against the silent controller, the user going through the passages.
  QElapsedTimer browsing;
  browsing.start();
  while (browsing.elapsed() < 1500) {
    tabs->setCurrentIndex(1 - tabs->currentIndex());
    Spin(20);
  }
  probe.timer.stop();
  EXPECT_GT(probe.firings, 100);
  // Any wait of the link on this thread stalls it for an answer wait (kDefaultWaitMs) or
  // more; half of that leaves room for a loaded machine without missing a stall.
  EXPECT_LT(probe.worstLateMs, kDefaultWaitMs / 2) << "the window's thread stalled";

  // Closing waits for what runs; the session end goes to a controller that does not answer.
  win.reset();
}

// Controller A loaded; the user picks B, which does not answer, and at once presses
// "Zapisz" with A's passages on screen. B answers again right after the error box. B never
// receives a 'c', and the status line says why.
TEST(E2EWindowThread, AWriteQueuedBehindAFailedPickNeverReachesTheNewController) {
  E2E_REQUIRE_NETNS();
  App();
  SimLan net("wint");
  json scenario = Scenario();
  json b = scenario["devices"][0];
  b["serial"] = 6;
  b["address"] = "10.77.0.11";
  b["doors"].push_back(b["doors"][1]);
  scenario["devices"].push_back(b);
  net.StartSim(scenario.dump(), /*console=*/true);
  std::unique_ptr<PosixEndpoint> ep;
  {
    NetnsScope in(net.tool);
    ep = std::make_unique<PosixEndpoint>();
  }
  SystemClock clock;
  RecordingHost host;
  auto win = std::make_unique<TMainWin>(host, *ep, clock, true, LinkThread::Worker);
  win->FormCreate();
  ASSERT_TRUE(SpinUntil([&] { return win->Idle() && win->Cfg.doorCount == 2; }, 5000))
      << "A was not loaded";
  ASSERT_TRUE(host.errors.empty());

  net.Console("hide K27_00006");
  host.onError = [&] { net.Console("appear K27_00006"); };
  auto* list = win->findChild<QListWidget*>("EthLstBox");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count(), 2);
  list->setCurrentRow(1);  // a pick, as a click or a key makes it
  win->findChild<QPushButton*>("WrCfgBtn")->click();
  ASSERT_TRUE(SpinUntil([&] { return win->Idle() && !host.errors.empty(); }, 5000));
  // Ticks run on: B answers again and is loaded without a click.
  EXPECT_TRUE(SpinUntil([&] { return win->Idle() && win->Cfg.doorCount == 3; }, 5000))
      << "B was not loaded once it answered";
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_TRUE(host.errors[0].startsWith(QStringLiteral("K27_00006")))
      << host.errors[0].toStdString();
  EXPECT_EQ(CountRx(net.log, [](const LogLine& l) { return IsWrite(l); }), 0u)
      << "a configuration was written";
  auto* status = win->findChild<QLabel*>("StatusLbl");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->text(), QStringLiteral("Nie zapisano: wybrano inne urządzenie."));
  win.reset();
}

namespace {

// What reached the impostor's own address from the tool: signed frames or key requests.
std::vector<std::string> SessionFramesTo(const std::string& log, const std::string& addr) {
  std::vector<std::string> out;
  for (const LogLine& l : ReadSimLog(log))
    if (l.dir == "RX" && l.to == addr && (l.tag == "MMDC" || l.tag == "MMDK")) out.push_back(l.raw);
  return out;
}

size_t ImpostorFramesSent(const std::string& log) {
  size_t n = 0;
  for (const LogLine& l : ReadSimLog(log))
    n += l.dir == "TX" && l.raw.find("(impostor)") != std::string::npos;
  return n;
}

}  // namespace

TEST(E2EWindowThread, ImpostorMidSessionGetsNoSessionFrameAndTheWriteIsRefused) {
  E2E_REQUIRE_NETNS();
  App();
  SimLan net("wimp");
  net.StartSim(Scenario().dump(), /*console=*/true);
  // Another host claims K27_00005 from 10.77.0.66: silent at first, then it sends its
  // discovery answer, a status answer without a session and key material of its own to
  // the tool every 150 ms.
  json imp = Scenario();
  imp["devices"][0]["address"] = "10.77.0.66";
  imp["devices"][0]["hidden"] = true;
  imp["devices"][0]["impostor"] = {{"announceMs", 150}, {"forge", "OK"}};
  net.StartImpostor(imp.dump(), /*console=*/true);
  std::unique_ptr<PosixEndpoint> ep;
  {
    NetnsScope in(net.tool);
    ep = std::make_unique<PosixEndpoint>();
  }
  SystemClock clock;
  RecordingHost host;
  auto win = std::make_unique<TMainWin>(host, *ep, clock, true, LinkThread::Worker);
  win->FormCreate();
  ASSERT_TRUE(SpinUntil([&] { return win->Idle() && win->Cfg.doorCount == 2; }, 5000))
      << "the controller was not loaded";
  ASSERT_TRUE(win->Devs().dev[0].session);

  // Mid-session the impostor speaks up; the ticks go on for a while.
  net.ImpostorConsole("appear K27_00005");
  auto* list = win->findChild<QListWidget*>("EthLstBox");
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(SpinUntil(
      [&] { return list->count() == 1 && list->item(0)->text().contains("10.77.0.66"); }, 4000))
      << "the second address is not shown";
  Spin(2500);
  ASSERT_TRUE(SpinUntil([&] { return win->Idle(); }, 3000));
  EXPECT_EQ(list->item(0)->text().toStdString(),
            " K27_00005,  10.77.0.10,  Serwis,  drugi adres: 10.77.0.66");
  // Wider than the list: the whole line under the pointer.
  EXPECT_EQ(list->item(0)->toolTip(), list->item(0)->text());
  EXPECT_EQ(win->Devs().TwoAddressStatus(),
            "K27_00005 odpowiada z dwóch adresów: 10.77.0.10, 10.77.0.66");
  EXPECT_GE(ImpostorFramesSent(net.impLog), 6u) << "the impostor did not speak";
  auto* status = win->findChild<QLabel*>("StatusLbl");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->text().toStdString(),
            "K27_00005 odpowiada z dwóch adresów: 10.77.0.10, 10.77.0.66");

  // An edit and "Zapisz": which host is the controller is unknown, so nothing is written;
  // a box and the status line say why.
  const size_t writesBefore = CountRx(net.log, IsWrite);
  auto* nc = win->findChild<QCheckBox*>("RygielNC");
  ASSERT_NE(nc, nullptr);
  nc->click();
  win->findChild<QPushButton*>("WrCfgBtn")->click();
  ASSERT_TRUE(SpinUntil([&] { return win->Idle() && !host.errors.empty(); }, 5000))
      << "the write was not refused";
  Spin(1500);  // one more tick
  ASSERT_TRUE(SpinUntil([&] { return win->Idle(); }, 3000));
  const std::string refused =
      "Nie zapisano: K27_00005 odpowiada z dwóch adresów: 10.77.0.10, 10.77.0.66";
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].toStdString(), refused);
  EXPECT_EQ(status->text().toStdString(), refused);
  EXPECT_EQ(CountRx(net.log, IsWrite), writesBefore) << "a configuration was written";
  EXPECT_TRUE(win->Devs().dev[0].session) << "a forged answer ended the session";
  EXPECT_EQ(win->Devs().dev[0].IpText(), "10.77.0.10");
  win.reset();  // ends the session

  const std::vector<std::string> leaked = SessionFramesTo(net.impLog, "10.77.0.66");
  EXPECT_TRUE(leaked.empty()) << leaked.size()
                              << " session frames reached the impostor, first: " << leaked.front();
  // The controller got the session's end, signed under its own session.
  std::vector<LogLine> log;
  EXPECT_TRUE(WaitForLog(
      net.log,
      [](const std::vector<LogLine>& l) {
        return std::any_of(l.begin(), l.end(),
                           [](const LogLine& x) { return x.dir == "RX" && x.cmd == "s"; });
      },
      std::chrono::seconds(3), &log));
  for (const LogLine& l : log)
    if (l.dir == "RX" && l.tag == "MMDC") {
      EXPECT_EQ(l.check, "sig=ok") << l.raw;
    }
}

// Closing the main window over a plan window with unsaved edits: one question first;
// "Anuluj" keeps both open, "Zamknij bez zapisywania" closes the plan window, then the main
// window, and every controller with a session gets its end.
TEST(E2EWindowThread, ClosingOverAnEditedPlanWindowAsksOnceThenEndsEverySession) {
  E2E_REQUIRE_NETNS();
  App();
  SimLan net("wcls");
  json sc = Scenario();
  json second = sc["devices"][0];
  second["serial"] = 6;
  second["address"] = "10.77.0.11";
  sc["devices"].push_back(second);
  net.StartSim(sc.dump());
  std::unique_ptr<PosixEndpoint> ep;
  {
    NetnsScope in(net.tool);
    ep = std::make_unique<PosixEndpoint>();
  }
  SystemClock clock;
  RecordingHost host;
  auto win = std::make_unique<TMainWin>(host, *ep, clock, true, LinkThread::Worker);
  bool closed = false;
  win->onClosed = [&] { closed = true; };
  win->FormCreate();
  win->show();
  ASSERT_TRUE(SpinUntil([&] { return win->Idle() && win->Cfg.doorCount == 2; }, 5000));
  // A plan of both controllers: each read, each in a session.
  win->NewPlanMnClick();
  ASSERT_TRUE(SpinUntil([&] { return win->Idle() && !win->PlanWindows().empty(); }, 5000));
  TPlanWin* pw = win->PlanWindows().front();
  ASSERT_EQ(pw->RowCount(), 2);
  pw->Select(0);
  auto* bolt = pw->DoorEd->findChild<QComboBox*>("RygielCb");
  ASSERT_NE(bolt, nullptr);
  bolt->setCurrentIndex(2);
  emit bolt->activated(2);
  ASSERT_TRUE(pw->AnyEdited());

  win->close();
  ASSERT_EQ(host.questions.size(), 1u);
  EXPECT_TRUE(host.questions[0].contains(pw->windowTitle()));
  Spin(200);
  EXPECT_TRUE(win->isVisible() && pw->isVisible() && !closed) << "\"Anuluj\" closed a window";

  const size_t mark = ReadSimLog(net.log).size();
  host.answer = 0;
  win->close();
  ASSERT_TRUE(SpinUntil([&] { return closed; }, 5000)) << "the main window did not close";
  EXPECT_FALSE(pw->isVisible());
  EXPECT_EQ(host.questions.size(), 2u);
  win.reset();
  std::vector<LogLine> log;
  for (const char* id : {"K27_00005", "K27_00006"})
    EXPECT_TRUE(WaitForLog(
        net.log,
        [&](const std::vector<LogLine>& l) {
          for (size_t i = mark; i < l.size(); ++i)
            if (l[i].dir == "RX" && l[i].id == id && l[i].cmd == "s") return true;
          return false;
        },
        std::chrono::seconds(3)))
        << "no end of session for " << id;
}

// K27_00006 misses a search; then another host sends one discovery answer in its name, which
// the tick takes in. A click on K27_00006 afterwards must not open a session at that host:
// an answer outside a search never moves a known device.
TEST(E2EWindowThread, AnUnaskedAnswerBetweenSearchesNeverMovesADeviceToAnotherHost) {
  E2E_REQUIRE_NETNS();
  App();
  SimLan net("wmov");
  json scenario = Scenario();
  json b = scenario["devices"][0];
  b["serial"] = 6;
  b["address"] = "10.77.0.11";
  scenario["devices"].push_back(b);
  net.StartSim(scenario.dump(), /*console=*/true);
  // The other host: K27_00006's name at 10.77.0.66, silent until told.
  json imp = Scenario();
  imp["devices"][0]["serial"] = 6;
  imp["devices"][0]["address"] = "10.77.0.66";
  imp["devices"][0]["hidden"] = true;
  imp["devices"][0]["impostor"] = true;
  net.StartImpostor(imp.dump(), /*console=*/true);
  std::unique_ptr<PosixEndpoint> ep;
  {
    NetnsScope in(net.tool);
    ep = std::make_unique<PosixEndpoint>();
  }
  SystemClock clock;
  RecordingHost host;
  auto win = std::make_unique<TMainWin>(host, *ep, clock, true, LinkThread::Worker);
  win->FormCreate();
  ASSERT_TRUE(SpinUntil([&] { return win->Idle() && win->Cfg.doorCount == 2; }, 5000))
      << "K27_00005 was not loaded";
  auto* list = win->findChild<QListWidget*>("EthLstBox");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count(), 2);

  // A search in which K27_00006 is silent (rebooting, say); then it is back.
  net.Console("hide K27_00006");
  win->findChild<QPushButton*>("SearchEthBtn")->click();
  ASSERT_TRUE(SpinUntil([&] { return win->Idle(); }, 5000));
  net.Console("appear K27_00006");

  // The other host answers status and key requests from now on and sends one discovery
  // answer nobody asked for; the ticks take it in.
  net.ImpostorConsole("appear K27_00006");
  net.ImpostorConsole("announce K27_00006");
  Spin(2500);
  ASSERT_TRUE(SpinUntil([&] { return win->Idle(); }, 3000));
  EXPECT_TRUE(list->item(1)->text().startsWith(QStringLiteral(" K27_00006,  10.77.0.11,")))
      << list->item(1)->text().toStdString();
  EXPECT_TRUE(list->item(1)->text().endsWith(QStringLiteral("drugi adres: 10.77.0.66")))
      << list->item(1)->text().toStdString();

  // The click on K27_00006.
  list->setCurrentRow(1);
  Spin(1500);
  ASSERT_TRUE(SpinUntil([&] { return win->Idle(); }, 5000));
  win.reset();

  const std::vector<std::string> leaked = SessionFramesTo(net.impLog, "10.77.0.66");
  EXPECT_TRUE(leaked.empty()) << leaked.size() << " session frames reached the other host, first: "
                              << leaked.front();
}
