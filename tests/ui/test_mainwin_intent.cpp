// Every action of the user runs on the controller the user saw, with the configuration
// loaded then, or sends nothing and says so; picks follow the user's last pick. Stepped
// through in virtual time, with what reached the simulated devices as the measure.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/stepped.h"
#include "ui/closeflow.h"
#include "ui/intent.h"

namespace {

uint32_t K27(uint32_t serial) {
  return MakeId(327, serial);
}

uint32_t Ip(int host) {
  return 0x0A000000u | uint32_t(host);  // 10.0.0.host, inside the in-memory net only
}

// A controller whose reader R01_(serial+100) stopped answering and a new reader
// R01_(serial+200) of the same model: "Usuń nieaktywne" and "Zastąp" are both offered.
SimDevice& MaintenanceController(GuiWorld& w, uint32_t serial, int doors) {
  SimDevice& c = w.AddController(K27(serial), Ip(int(serial)), 2, doors);
  c.SetInactive(1, true);
  c.AddBusDevice(MakeId(1, serial + 200), 0, 2, 1, false, kStNew);
  return c;
}

std::string Letters(const SimDevice& d, size_t from = 0) {
  const std::vector<char> all = d.Commands();
  return from < all.size() ? std::string(all.begin() + long(from), all.end()) : std::string();
}

// The window when the action's turn comes.
IntentNow N(uint32_t dev, uint64_t gen, bool pairOffered, bool closing, bool quitting = false,
            std::string twoAddresses = {}) {
  IntentNow n;
  n.devId = dev;
  n.cfgGen = gen;
  n.pairOffered = pairOffered;
  n.closing = closing;
  n.quitting = quitting;
  n.twoAddresses = std::move(twoAddresses);
  return n;
}

QString Status(const GuiWorld& w) {
  const QLabel* l = w.Find<QLabel>("StatusLbl");
  return l ? l->text() : QStringLiteral("<no status text>");
}

// A tick under way: its first step (late discovery answers) has run.
void TickUnderWay(SteppedWorld& w) {
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  ASSERT_TRUE(w.steps->Step());
}

}  // namespace

TEST(Intent, JudgeRunsOnlyOnTheDeviceAndLoadSeenAtTheClick) {
  Intent in{UserAction::Write, K27(5), 7, 0};
  EXPECT_EQ(Judge(in, N(K27(5), 7, false, false)), Verdict::Run);
  EXPECT_EQ(Judge(in, N(K27(6), 7, false, false)), Verdict::OtherDevice);
  EXPECT_EQ(Judge(in, N(K27(5), 8, false, false)), Verdict::Reloaded);
  EXPECT_EQ(Judge(in, N(0, 7, false, false)), Verdict::OtherDevice);
  EXPECT_EQ(Judge(Intent{UserAction::Write, 0, 7, 0}, N(0, 7, false, false)), Verdict::OtherDevice);
  in.action = UserAction::Replace;
  EXPECT_EQ(Judge(in, N(K27(5), 7, false, false)), Verdict::PairGone);
  EXPECT_EQ(Judge(in, N(K27(5), 7, true, false)), Verdict::Run);
  in.action = UserAction::Report;
  EXPECT_EQ(Judge(in, N(K27(5), 7, false, true)), Verdict::Closing);
  // Once a signal asked the program to end, what ends in a box is dropped; a write still runs.
  for (UserAction a : {UserAction::Archive, UserAction::Compare, UserAction::Doc}) {
    in.action = a;
    EXPECT_EQ(Judge(in, N(K27(5), 7, false, true, false)), Verdict::Run);
    EXPECT_EQ(Judge(in, N(K27(5), 7, false, true, true)), Verdict::Closing);
  }
  in.action = UserAction::Write;
  EXPECT_EQ(Judge(in, N(K27(5), 7, false, true, true)), Verdict::Run);
  EXPECT_EQ(RefusalText(UserAction::Write, Verdict::OtherDevice),
            "Nie zapisano: wybrano inne urządzenie.");
  EXPECT_EQ(RefusalText(UserAction::Report, Verdict::Closing), "");

  // A device answering from two addresses: nothing is written to it; reading is not writing.
  const std::string two = "K27_00005 odpowiada z dwóch adresów: 10.0.0.5, 10.0.0.66";
  for (UserAction a : {UserAction::Write, UserAction::DelLost, UserAction::Replace}) {
    in.action = a;
    EXPECT_EQ(Judge(in, N(K27(5), 7, true, false, false, two)), Verdict::TwoAddresses);
    EXPECT_EQ(Judge(in, N(K27(6), 7, true, false, false, two)), Verdict::OtherDevice);
  }
  for (UserAction a : {UserAction::Report, UserAction::Archive, UserAction::Compare}) {
    in.action = a;
    EXPECT_EQ(Judge(in, N(K27(5), 7, true, false, false, two)), Verdict::Run);
  }
  EXPECT_EQ(RefusalText(UserAction::Write, Verdict::TwoAddresses, two),
            "Nie zapisano: K27_00005 odpowiada z dwóch adresów: 10.0.0.5, 10.0.0.66");
  EXPECT_EQ(RefusalText(UserAction::Replace, Verdict::TwoAddresses, two), "Nie zastąpiono: " + two);
  EXPECT_EQ(RefusalText(UserAction::Write, Verdict::Run), "");
}

// Only what the user must see cancels a waiting close: the failure or the refusal of the
// user's own action, never a tick's, never under a signal's close.
TEST(Intent, AWaitingCloseIsCancelledOnlyByWhatTheUserMustSee) {
  CloseFlow open;
  EXPECT_FALSE(open.Refused()) << "open, the status line says it";
  EXPECT_TRUE(open.Failed(false));
  EXPECT_EQ(open.Now(), CloseFlow::kOpen);
  CloseFlow waiting;
  EXPECT_FALSE(waiting.Ask(false, false));
  EXPECT_FALSE(waiting.Failed(false));
  EXPECT_TRUE(waiting.Drained());
  EXPECT_TRUE(waiting.Refused());
  EXPECT_EQ(waiting.Now(), CloseFlow::kOpen);
  EXPECT_FALSE(waiting.Drained());
  CloseFlow quit;
  EXPECT_FALSE(quit.Ask(false, true));
  EXPECT_FALSE(quit.Refused());
  EXPECT_FALSE(quit.Failed(true));
  EXPECT_TRUE(quit.Drained());
  EXPECT_TRUE(quit.Ask(true, false));
  EXPECT_FALSE(quit.Refused());
  EXPECT_EQ(quit.Now(), CloseFlow::kClosed);
}

// Controller A is loaded, a tick runs; the user picks B and at once presses an action for
// A's passages on screen. B misses its status query, then answers again. Nothing reaches
// B, no dialog opens for B's empty model, and the status text says why.
TEST(IntentFaults, AnActionQueuedBehindAFailedPickSendsNothingToTheNewDevice) {
  struct Case {
    const char* button;
    const char* status;
  };
  for (const Case c : {Case{"WrCfgBtn", "Nie zapisano: wybrano inne urządzenie."},
                       Case{"DelLostBtn", "Nie usunięto nieaktywnych: wybrano inne urządzenie."},
                       Case{"RapCfgBtn", "Nie zapisano raportu: wybrano inne urządzenie."}}) {
    SCOPED_TRACE(c.button);
    SteppedWorld w(true);
    SimDevice& a = MaintenanceController(w, 5, 2);
    SimDevice& b = MaintenanceController(w, 6, 3);
    w.StartStepped();
    ASSERT_EQ(w.win->Cfg.doorCount, 2);
    const size_t fromA = a.Commands().size(), fromB = b.Commands().size();
    TickUnderWay(w);
    w.ClickEthLine(1);
    b.faults.offline = true;
    auto* button = w.Find<QPushButton>(c.button);
    ASSERT_TRUE(button->isEnabled());
    button->click();
    w.host.onError = [&](const QString&) { b.faults.offline = false; };
    w.steps->RunAll();
    ASSERT_TRUE(w.win->Idle());
    ASSERT_EQ(w.host.errors.size(), 1u);
    EXPECT_TRUE(w.host.errors[0].text.startsWith("K27_00006"))
        << w.host.errors[0].text.toStdString();
    const std::string toB = Letters(b, fromB);
    EXPECT_EQ(toB.find_first_of("cFR"), std::string::npos) << toB;
    EXPECT_TRUE(b.written.empty()) << "B received a configuration";
    EXPECT_EQ(Letters(a, fromA).find_first_of("cFR"), std::string::npos);
    EXPECT_TRUE(w.host.dialogs.empty()) << "a dialog opened for another device";
    EXPECT_EQ(Status(w), QString::fromUtf8(c.status));
    if (const char* grab = std::getenv("FELDARO_GRAB_STATUS")) {
      w.Show();
      EXPECT_TRUE(w.win->grab().save(grab));
    }
  }
}

// A loaded, a tick running; the user picks B, presses "Zapisz" for A's passages on screen
// and closes the window. The write is refused at its turn: with a close waiting, that is a
// failure the installer must see, so it comes as a box and the window stays. A signal's
// close says nothing and ends.
TEST(IntentFaults, ARefusedActionWhileTheCloseWaitsIsShownAndCancelsTheClose) {
  for (bool signal : {false, true}) {
    SCOPED_TRACE(signal ? "signal" : "close box");
    SteppedWorld w(true);
    SimDevice& a = MaintenanceController(w, 5, 2);
    SimDevice& b = MaintenanceController(w, 6, 3);
    w.StartStepped();
    const size_t fromA = a.Commands().size(), fromB = b.Commands().size();
    TickUnderWay(w);
    w.ClickEthLine(1);
    w.Find<QPushButton>("WrCfgBtn")->click();
    if (signal)
      w.win->Quit();
    else
      EXPECT_FALSE(w.win->close()) << "closed while work was waiting";
    w.steps->RunAll();
    QApplication::processEvents();  // a close that waited comes as an event of its own
    ASSERT_TRUE(w.win->Idle());
    EXPECT_EQ(Letters(a, fromA).find('c'), std::string::npos);
    EXPECT_EQ(Letters(b, fromB).find('c'), std::string::npos);
    EXPECT_EQ(Status(w), QStringLiteral("Nie zapisano: wybrano inne urządzenie."));
    const size_t from = b.Commands().size();
    w.clock.Advance(1000);
    w.win->UDPTimerTimer();
    w.steps->RunAll();
    if (signal) {
      EXPECT_TRUE(w.host.errors.empty());
      EXPECT_EQ(Letters(b, from), "") << "the window did not close";
      continue;
    }
    ASSERT_EQ(w.host.errors.size(), 1u) << "the refusal was hidden by the close";
    EXPECT_EQ(w.host.errors[0].text, QStringLiteral("Nie zapisano: wybrano inne urządzenie."));
    EXPECT_FALSE(w.win->Closing());
    EXPECT_NE(Letters(b, from), "") << "no tick after the cancelled close";
  }
}

// "Zastąp" chosen on A, B picked just before: B offers a pair with the same slot numbers,
// but the pair was chosen for A. B receives no 'R'.
TEST(IntentFaults, ThePairChosenOnOneControllerIsNeverSentToAnother) {
  SteppedWorld w(true);
  SimDevice& a = MaintenanceController(w, 5, 2);
  SimDevice& b = MaintenanceController(w, 6, 3);
  w.StartStepped();
  const size_t fromA = a.Commands().size(), fromB = b.Commands().size();
  TickUnderWay(w);
  w.ClickEthLine(1);
  auto* replace = w.Find<QPushButton>("ReplaceBtn");
  ASSERT_TRUE(replace->isEnabled());
  replace->click();
  w.steps->RunAll();
  ASSERT_TRUE(w.win->Idle());
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(w.win->Cfg.doorCount, 3) << "B was not loaded";
  EXPECT_EQ(Letters(b, fromB), "KDC") << "B: the load only";
  EXPECT_EQ(Letters(a, fromA).find('R'), std::string::npos);
  EXPECT_EQ(Status(w), QStringLiteral("Nie zastąpiono: wybrano inne urządzenie."));
  // Chosen on B now, the pair goes to B.
  replace->click();
  w.steps->RunAll();
  EXPECT_EQ(Letters(b, fromB), "KDCRDC");
  EXPECT_EQ(Status(w), QString());
}

// Cursor on line 0, a tick running. Down twice; the tick's rebuild of the list (the
// controller's mode changed) must not move the highlight back, so a third Down ends on
// line 3, which is loaded.
TEST(IntentFaults, KeyPicksDuringATickEndOnTheLineTheUserReached) {
  SteppedWorld w(true);
  std::vector<SimDevice*> c;
  for (int i = 0; i < 4; ++i)
    c.push_back(&w.AddController(K27(uint32_t(i + 1)), Ip(i + 1), 2, i + 1));
  w.StartStepped();
  auto* box = w.Find<QListWidget>("EthLstBox");
  ASSERT_EQ(box->currentRow(), 0);
  std::vector<size_t> from;
  for (SimDevice* d : c) from.push_back(d->Commands().size());
  TickUnderWay(w);
  w.KeyOnEthList(Qt::Key_Down);
  w.KeyOnEthList(Qt::Key_Down);
  EXPECT_EQ(box->currentRow(), 2);
  c[0]->mode = 3;  // the status query finds another mode: the tick rebuilds the list
  ASSERT_TRUE(w.steps->Step());
  EXPECT_EQ(box->currentRow(), 2) << "the rebuild moved the highlight";
  w.KeyOnEthList(Qt::Key_Down);
  w.steps->RunAll();
  ASSERT_TRUE(w.win->Idle());
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(box->currentRow(), 3);
  EXPECT_TRUE(box->item(3)->isSelected());
  EXPECT_EQ(w.win->Cfg.doorCount, 4) << "the last pick was not loaded";
  EXPECT_EQ(Letters(*c[3], from[3]), "KDC");
  EXPECT_EQ(Letters(*c[1], from[1]).find('C'), std::string::npos)
      << "a line passed over loaded last";
}

// Random interleavings of what a user and the devices do, step by step: picks by mouse and
// key, the four actions, ticks, devices that stop and resume answering, edits, a close.
// Nothing of an action reaches a device other than the one shown at the click, or goes
// out after a configuration was read since the click; no action runs twice; the highlight
// stays on the user's last pick and, once the queue drains, on the loaded device; no box
// opens over another modal window. FELDARO_SEED repeats one run; FELDARO_RUNS sets how many.
namespace {

struct Asked {
  char letter;     // what the action sends: 'c', 'F', 'R'; 'r' for "Raport"
  uint32_t shown;  // the device the controller group showed
  bool reloaded;   // a configuration was read since the click
  bool done;
  int at;  // event number of the click
};

class Interleaving {
 public:
  explicit Interleaving(uint32_t seed) : rng_(seed), seed_(seed) {}

  void Run(int events) {
    SteppedWorld w(true);
    w_ = &w;
    devs_ = {&MaintenanceController(w, 5, 2), &MaintenanceController(w, 6, 3),
             &MaintenanceController(w, 7, 4)};
    w.StartStepped();
    seen_.assign(devs_.size(), 0);
    for (size_t i = 0; i < devs_.size(); ++i) seen_[i] = devs_[i]->Commands().size();
    w.host.onError = [&](const QString&) {
      if (w.win->modalDepth != 1) Fail("a box over another modal window");
    };
    w.host.onDialog = [&](QDialog*) {
      Match('r', ShownId());
      return int(QDialog::Rejected);
    };
    bool closed = false;
    for (ev_ = 0; ev_ < events && !closed && !::testing::Test::HasFailure(); ++ev_) {
      const int r = Roll(100);
      if (r < 40) {
        if (w.steps->Step()) Observe();
      } else if (r < 50) {
        w.clock.Advance(1000);
        w.win->UDPTimerTimer();
      } else if (r < 58) {
        w.ClickEthLine(Roll(int(devs_.size())));
        NotePick();
      } else if (r < 64) {
        w.KeyOnEthList(Roll(2) ? Qt::Key_Down : Qt::Key_Up);
        NotePick();
      } else if (r < 86) {
        static const char* const kButtons[] = {"WrCfgBtn", "DelLostBtn", "ReplaceBtn", "RapCfgBtn"};
        static const char kLetters[] = {'c', 'F', 'R', 'r'};
        const int k = Roll(4);
        auto* b = w.Find<QPushButton>(kButtons[k]);
        if (b->isEnabled()) {
          asked_.push_back({kLetters[k], ShownId(), false, false, ev_});
          b->click();
          Observe();
        }
      } else if (r < 93) {
        SimDevice* d = devs_[size_t(Roll(int(devs_.size())))];
        d->faults.offline = !d->faults.offline;
      } else if (r < 98) {
        // An edit: the bolt of the passage shown.
        if (auto* cb = w.Find<QComboBox>("RygielCb"); cb->isEnabled() && cb->count() > 0) {
          const int i = Roll(cb->count());
          cb->setCurrentIndex(i);
          emit cb->activated(i);
        }
      } else {
        closed = w.win->close();
      }
      CheckHighlight();
      if (w.win->Idle() && w.steps->Waiting() == 0) CheckDrained();
    }
    // Everything comes back and the queue drains.
    for (SimDevice* d : devs_) d->faults.offline = false;
    while (w.steps->Step()) Observe();
    QApplication::processEvents();
    if (!closed && w.win->Idle()) CheckDrained();
    w.host.onError = nullptr;
    w.host.onDialog = nullptr;
    w_ = nullptr;
  }

 private:
  int Roll(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  void Fail(const std::string& what) {
    ADD_FAILURE() << "seed " << seed_ << ", event " << ev_ << ": " << what;
  }

  uint32_t HighlightedId() const {
    const QListWidgetItem* item = w_->Find<QListWidget>("EthLstBox")->currentItem();
    return item ? item->data(Qt::UserRole).toUInt() : 0;
  }
  // The line the user's click or key landed on is the user's last pick.
  void NotePick() { lastPick_ = HighlightedId(); }
  // Nothing the program does moves the highlight away from the user's last pick.
  void CheckHighlight() {
    if (lastPick_ != 0 && HighlightedId() != lastPick_)
      Fail("the highlight moved from the last pick " + DevName(lastPick_) + " to " +
           DevName(HighlightedId()));
  }

  uint32_t ShownId() const {
    const QString title = w_->Find<QGroupBox>("SelDevBox")->title().trimmed();
    for (SimDevice* d : devs_)
      if (title == QString::fromStdString(DevName(d->id))) return d->id;
    return 0;
  }

  // New commands the devices acted on since the last look.
  void Observe() {
    for (size_t i = 0; i < devs_.size(); ++i) {
      const std::vector<char> all = devs_[i]->Commands();
      for (size_t k = seen_[i]; k < all.size(); ++k) {
        if (devs_[i]->faults.offline) continue;  // reached nobody who acted on it
        const char l = all[k];
        if (l == 'C') {
          for (Asked& a : asked_) a.reloaded = true;
        } else if (l == 'c' || l == 'F' || l == 'R') {
          Match(l, devs_[i]->id);
        }
      }
      seen_[i] = all.size();
    }
  }

  // Something of kind `letter` reached `dev`: an action asked for on that device, with the
  // configuration it showed, that has not run yet, must be behind it.
  void Match(char letter, uint32_t dev) {
    for (size_t j = 0; j < asked_.size(); ++j) {
      Asked& a = asked_[j];
      if (a.done || a.letter != letter || a.shown != dev || a.reloaded) continue;
      // Actions run in order: those of this kind asked for earlier have ended.
      for (size_t e = 0; e <= j; ++e)
        if (asked_[e].letter == letter) asked_[e].done = true;
      return;
    }
    std::ostringstream os;
    os << "'" << letter << "' reached " << DevName(dev)
       << " with no action asked for on it, with its configuration, still to run";
    Fail(os.str());
  }

  void CheckDrained() {
    auto* box = w_->Find<QListWidget>("EthLstBox");
    const int s = w_->win->SelectedIndex();
    if (s < 0) return;
    if (box->currentRow() != s || !box->item(s)->isSelected()) {
      std::ostringstream os;
      os << "highlighted line " << box->currentRow() << ", loaded device on line " << s;
      Fail(os.str());
    }
  }

  std::mt19937 rng_;
  uint32_t seed_;
  int ev_ = 0;
  SteppedWorld* w_ = nullptr;
  std::vector<SimDevice*> devs_;
  std::vector<size_t> seen_;
  std::vector<Asked> asked_;
  uint32_t lastPick_ = 0;
};

}  // namespace

TEST(IntentProperty, RandomInterleavingsNeverSendAnActionElsewhereOrTwice) {
  uint32_t seed = std::random_device{}();
  int runs = 60;
  if (const char* s = std::getenv("FELDARO_SEED")) {
    seed = uint32_t(std::strtoul(s, nullptr, 10));
    runs = 1;
  }
  if (const char* r = std::getenv("FELDARO_RUNS")) runs = std::max(1, std::atoi(r));
  std::cout << "seed " << seed << ", " << runs << " runs (FELDARO_SEED=" << seed
            << " repeats the first)\n";
  for (int i = 0; i < runs && !::testing::Test::HasFailure(); ++i) {
    SCOPED_TRACE("run seed " + std::to_string(seed + uint32_t(i)));
    Interleaving(seed + uint32_t(i)).Run(150);
  }
}

// K27_00005 is loaded (this program holds its session) when a search hears its identifier
// from a second host too. "Zapisz", "Usuń nieaktywne" and "Zastąp" send nothing to either
// host and say why in a box and the status line; the report comes back whenever the device
// is picked, and goes only after a search in which one address answers.
TEST(IntentFaults, NothingIsWrittenToADeviceThatAnswersFromTwoAddresses) {
  GuiWorld w;
  SimDevice& a = MaintenanceController(w, 5, 2);
  MaintenanceController(w, 6, 3);
  w.Start();
  ASSERT_EQ(w.win->Cfg.doorCount, 2);
  SimDevice& other = w.net.AddDevice(K27(5), Ip(66), 2);
  w.Find<QPushButton>("SearchEthBtn")->click();
  const QString two = QStringLiteral("K27_00005 odpowiada z dwóch adresów: 10.0.0.5, 10.0.0.66");
  ASSERT_EQ(Status(w), two);
  const size_t fromA = a.Commands().size(), fromOther = other.Commands().size();
  struct Case {
    const char* button;
    const char* refusal;
  };
  for (const Case c :
       {Case{"WrCfgBtn", "Nie zapisano: "}, Case{"DelLostBtn", "Nie usunięto nieaktywnych: "},
        Case{"ReplaceBtn", "Nie zastąpiono: "}}) {
    SCOPED_TRACE(c.button);
    w.host.errors.clear();
    auto* button = w.Find<QPushButton>(c.button);
    ASSERT_TRUE(button->isEnabled());
    button->click();
    const QString why = QString::fromUtf8(c.refusal) + two;
    ASSERT_EQ(w.host.errors.size(), 1u);
    EXPECT_EQ(w.host.errors[0].text, why);
    EXPECT_EQ(Status(w), why);
  }
  EXPECT_EQ(Letters(a, fromA).find_first_of("cFR"), std::string::npos) << Letters(a, fromA);
  EXPECT_EQ(Letters(other, fromOther), "") << "the other host was addressed";

  // Another device picked and back: the line and the status line still say it.
  w.ClickEthLine(1);
  EXPECT_EQ(Status(w), QString());
  w.Tick();
  w.ClickEthLine(0);
  EXPECT_EQ(Status(w), two);
  EXPECT_TRUE(w.Lines("EthLstBox")[0].endsWith("drugi adres: 10.0.0.66"));

  // The other host goes; a search hears one address: the write goes out again.
  other.faults.offline = true;
  w.host.errors.clear();
  w.Find<QPushButton>("SearchEthBtn")->click();
  EXPECT_FALSE(w.Lines("EthLstBox")[0].contains("drugi adres"));
  const size_t before = a.Commands().size();
  w.Find<QPushButton>("WrCfgBtn")->click();
  EXPECT_TRUE(w.host.errors.empty()) << w.host.errors[0].text.toStdString();
  EXPECT_NE(Letters(a, before).find('c'), std::string::npos);
}

// Start-up: another host answers the search in K27_00005's name at once, the controller
// itself 400 ms later. The first load waits for late answers, so the controller's answer is
// compared first: no key request reaches the other host, and the window says why.
TEST(IntentFaults, TheFirstLoadWaitsForALateAnswerBeforeOpeningASession) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(5), Ip(5), 2, 2);
  ctrl.faults.offline = true;  // its answer to the search is the one queued below
  SimDevice& other = w.AddController(K27(5), Ip(66), 2, 2);
  std::vector<uint8_t> late(28, 0);
  std::memcpy(late.data(), "MMDO", 4);
  PutU32(late.data() + 4, ctrl.id);
  late[10] = 2;
  late[11] = '1';
  PutU32(late.data() + 24, Crc32(late.data(), 24));
  w.net.Inject(late, "10.0.0.5", w.clock.now + 400);
  w.Start();
  EXPECT_EQ(Letters(other).find('K'), std::string::npos) << Letters(other);
  EXPECT_EQ(w.win->Cfg.doorCount, 0);
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains("K27_00005 odpowiada z dwóch adresów"))
      << w.host.errors[0].text.toStdString();
  EXPECT_TRUE(Status(w).contains("K27_00005 odpowiada z dwóch adresów"));
  EXPECT_TRUE(w.Lines("EthLstBox")[0].contains("drugi adres"))
      << w.Lines("EthLstBox")[0].toStdString();
}

// The device set's reports reach the status line once: one address answering as two
// identifiers at start-up, and a set that became full with a late answer.
TEST(IntentFaults, TheSetsReportsAreShownOnceInTheStatusLine) {
  GuiWorld w;
  w.AddController(K27(5), Ip(5), 2, 2);
  w.net.AddDevice(K27(7), Ip(66), 2);
  w.net.AddDevice(K27(9), Ip(66), 2);
  w.Start();
  ASSERT_EQ(w.win->Devs().count, 2);
  EXPECT_EQ(Status(w).toStdString(), "10.0.0.66 odpowiada jako K27_00007 i K27_00009");
  w.ClickEthLine(0);
  w.Tick();
  w.Tick();
  EXPECT_EQ(Status(w).toStdString(), "") << "a report was shown twice";

  // 99 more devices answer late: the 101st does not fit.
  for (uint32_t i = 0; i < 99; ++i) w.Announce(w.net.AddDevice(K27(100 + i), Ip(int(100 + i)), 2));
  w.Tick();
  EXPECT_EQ(w.win->Devs().count, kMaxDevices);
  EXPECT_EQ(Status(w).toStdString(), FullSetText());
  w.ClickEthLine(0);
  w.Announce(w.net.AddDevice(K27(300), Ip(250), 2));
  w.Tick();
  EXPECT_EQ(Status(w).toStdString(), "") << "the full set was reported twice";
}
