// The window's operations with their network steps taken one at a time by the test, in
// virtual time: what the user does between two steps of a tick or an action.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <deque>
#include <functional>

#include "tests/common/stepped.h"

TEST(MainWinOps, EditsMadeWhileATickPollsSurviveTheRenewedDeviceTable) {
  SteppedWorld w;
  ASSERT_EQ(w.win->Cfg.doorCount, 2);
  ASSERT_EQ(w.win->Cfg.doors[0].outputs[0], 0x0000);
  // The reader stops answering on the bus: the next poll brings a changed table.
  w.ctrl->SetInactive(1, true);
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  ASSERT_TRUE(w.steps->Step());  // late discovery answers
  ASSERT_TRUE(w.steps->Step());  // status query
  ASSERT_EQ(w.steps->Waiting(), 1u) << "the poll is the next step";

  // While the poll is out, passage 1 gets the controller's third output as its bolt.
  SteppedWorld::Pick(w.Cb("RygielCb"), 0x0002);
  ASSERT_EQ(w.win->Cfg.doors[0].outputs[0], 0x0002);
  w.steps->RunAll();
  ASSERT_TRUE(w.win->Idle());

  const CtrlCfg& cfg = w.win->Cfg;
  EXPECT_TRUE(cfg.devs[1].state & kStInactive) << "the renewed table was not taken";
  EXPECT_TRUE(AnyInactive(cfg));
  EXPECT_TRUE(w.Find<QPushButton>("DelLostBtn")->isEnabled());
  EXPECT_EQ(cfg.doors[0].outputs[0], 0x0002) << "the edit was lost";
  EXPECT_EQ(w.Cb("RygielCb")->currentData().toUInt(), 0x0002u);
  // The marks follow the passages as they are now, not as they were when the poll began.
  EXPECT_EQ(cfg.devs[0].usedOutputs, (1u << 2) | (1u << 1));
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinOps, ActionsWaitForTheRunningOneAndRunInOrderOnceTicksDoNotPileUp) {
  SteppedWorld w;
  const size_t from = w.ctrl->received.size();
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  ASSERT_TRUE(w.steps->Step());  // the tick is under way

  // Meanwhile: "Zapisz", two more ticks falling due, "Zapisz" again.
  w.Find<QPushButton>("WrCfgBtn")->click();
  EXPECT_EQ(w.win->cursor().shape(), Qt::BusyCursor);
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  w.Find<QPushButton>("WrCfgBtn")->click();
  EXPECT_FALSE(w.win->Idle());
  w.steps->RunAll();
  EXPECT_TRUE(w.win->Idle());
  EXPECT_NE(w.win->cursor().shape(), Qt::BusyCursor);

  // The tick (status, poll, keep-alive), the write (status, 'c'), one tick for the two
  // that fell due, the second write.
  EXPECT_EQ(w.Received(*w.ctrl, from), "ODOSOcODOc");
  EXPECT_TRUE(w.host.errors.empty());
}

// A close asked for while "Zapisz" waits: the write still goes out and the window closes
// without a box when it succeeds.
TEST(MainWinOps, CloseWaitsForASucceedingWriteThenNothingMoreIsSent) {
  SteppedWorld w;
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  ASSERT_TRUE(w.steps->Step());
  w.Find<QPushButton>("WrCfgBtn")->click();
  EXPECT_FALSE(w.win->close()) << "closed while work was waiting";
  w.steps->RunAll();
  QApplication::processEvents();  // the close that waited comes as an event of its own
  EXPECT_TRUE(w.win->Idle());
  EXPECT_TRUE(w.host.errors.empty());
  ASSERT_EQ(w.ctrl->written.size(), 1u) << "the write asked for before the close was lost";
  // Closed now: ticks no longer run.
  const size_t from = w.ctrl->received.size();
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  w.steps->RunAll();
  EXPECT_EQ(w.Received(*w.ctrl, from), "");
}

// The write asked for before the close fails: its box is shown and the window stays, so the
// installer does not leave believing the configuration was saved; ticks go on and a second
// "Zapisz" reaches the controller.
TEST(MainWinOps, AFailureOfAnActionAskedBeforeTheCloseIsShownAndCancelsTheClose) {
  SteppedWorld w;
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  ASSERT_TRUE(w.steps->Step());
  w.Find<QPushButton>("WrCfgBtn")->click();
  w.ctrl->faults.offline = true;  // the write that waits will fail
  EXPECT_FALSE(w.win->close());
  w.steps->RunAll();
  QApplication::processEvents();
  EXPECT_TRUE(w.win->Idle());
  ASSERT_EQ(w.host.errors.size(), 1u) << "the write's failure was hidden by the close";
  EXPECT_TRUE(w.host.errors[0].text.startsWith("K27_00005")) << w.host.errors[0].text.toStdString();
  EXPECT_TRUE(w.ctrl->written.empty());
  // The window is open: ticks run again, and the user's second write goes out.
  w.ctrl->faults.offline = false;
  size_t from = w.ctrl->received.size();
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  w.steps->RunAll();
  EXPECT_EQ(w.Received(*w.ctrl, from).substr(0, 1), "O") << "no tick after the cancelled close";
  w.Find<QPushButton>("WrCfgBtn")->click();
  w.steps->RunAll();
  ASSERT_EQ(w.ctrl->written.size(), 1u);
  EXPECT_EQ(w.ctrl->written[0].size(), 44u * 2 + 4) << "two passages and the train number";
  // Closing now, with nothing running, closes at once.
  EXPECT_TRUE(w.win->close());
  from = w.ctrl->received.size();
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  w.steps->RunAll();
  EXPECT_EQ(w.Received(*w.ctrl, from), "");
}

// A signal closes the window the same way but shows nothing and is not cancelled, so the
// program ends within the waits.
TEST(MainWinOps, QuitForASignalClosesSilentlyEvenWhenTheWriteFails) {
  SteppedWorld w;
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  ASSERT_TRUE(w.steps->Step());
  w.Find<QPushButton>("WrCfgBtn")->click();
  w.ctrl->faults.offline = true;
  w.win->Quit();
  w.steps->RunAll();
  QApplication::processEvents();
  EXPECT_TRUE(w.win->Idle());
  EXPECT_TRUE(w.host.errors.empty());
  const size_t from = w.ctrl->received.size();
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  w.steps->RunAll();
  EXPECT_EQ(w.Received(*w.ctrl, from), "") << "the window did not close";
}

// "Raport" asked for while a tick runs, then the close (the signal handler does this): the
// location dialog never opens after the close, and nothing more is sent.
TEST(MainWinOps, ARaportNotYetStartedIsDroppedAtTheClose) {
  for (bool signal : {false, true}) {
    SCOPED_TRACE(signal ? "signal" : "close box");
    SteppedWorld w;
    w.clock.Advance(1000);
    w.win->UDPTimerTimer();
    ASSERT_TRUE(w.steps->Step());
    w.Find<QPushButton>("RapCfgBtn")->click();
    if (signal)
      w.win->Quit();
    else
      EXPECT_FALSE(w.win->close());
    const size_t from = w.ctrl->received.size();
    w.steps->RunAll();
    QApplication::processEvents();
    EXPECT_TRUE(w.win->Idle());
    EXPECT_TRUE(w.host.dialogs.empty()) << "a dialog opened after the close";
    EXPECT_EQ(w.host.saveCalls, 0);
    EXPECT_EQ(w.Received(*w.ctrl, from), "ODOS") << "the tick's status, poll and keep-alive only";
    w.clock.Advance(1000);
    w.win->UDPTimerTimer();
    w.steps->RunAll();
    EXPECT_EQ(w.Received(*w.ctrl, from), "ODOS");
  }
}

// "Zapisz" waits behind a tick; the user opens an archive the window refuses, and while that
// box is open the write goes out and fails. Its failure waits for the box to close, then
// comes in a box of its own: both reach the user, in order, never one box over another.
// With a close waiting, the failures cancel it.
TEST(MainWinOps, AFailureArrivingWhileABoxIsOpenIsShownAfterIt) {
  for (bool closing : {false, true}) {
    SCOPED_TRACE(closing ? "close waiting" : "open");
    SteppedWorld w;
    QTemporaryDir dir;
    w.host.openPath = dir.filePath(QStringLiteral("brak.json"));
    w.clock.Advance(1000);
    w.win->UDPTimerTimer();
    ASSERT_TRUE(w.steps->Step());
    w.Find<QPushButton>("WrCfgBtn")->click();
    w.ctrl->faults.offline = true;  // the write that waits will fail
    if (closing) {
      EXPECT_FALSE(w.win->close());
    }
    std::vector<int> depths;
    w.host.onError = [&](const QString&) {
      depths.push_back(w.win->modalDepth);
      w.steps->RunAll();  // the link goes on while the box is open
    };
    w.win->CompareArchiveMnClick();
    QApplication::processEvents();
    EXPECT_TRUE(w.win->Idle());
    ASSERT_EQ(w.host.errors.size(), 2u) << "a failure was dropped while a box was open";
    EXPECT_TRUE(w.host.errors[0].text.startsWith("Archiwum "))
        << w.host.errors[0].text.toStdString();
    EXPECT_TRUE(w.host.errors[1].text.startsWith("K27_00005"))
        << w.host.errors[1].text.toStdString();
    EXPECT_EQ(depths, (std::vector<int>{1, 1})) << "a box over another";
    EXPECT_EQ(w.win->modalDepth, 0);
    EXPECT_TRUE(w.ctrl->written.empty());
    // The window stays open: the next tick reaches the controller.
    w.host.onError = nullptr;
    w.ctrl->faults.offline = false;
    const size_t from = w.ctrl->received.size();
    w.clock.Advance(1000);
    w.win->UDPTimerTimer();
    w.steps->RunAll();
    EXPECT_EQ(w.Received(*w.ctrl, from).substr(0, 1), "O") << "the window closed";
  }
}

// A signal ends the program while "Zapisz archiwum kontrolera…" or "Dokumentacja PDF…" waits
// behind a tick, or while its read is out. No box opens after the signal: one that has not
// started is dropped; one that has writes the file the user chose and says so in the
// status line, not in a box. The window closes.
TEST(MainWinOps, AfterASignalNoBoxOpensAndTheWindowCloses) {
  struct Item {
    const char* name;
    void (TMainWin::*click)();
    const char* file;
  };
  for (const Item item : {Item{"archive", &TMainWin::SaveArchiveMnClick, "k.json"},
                          Item{"doc", &TMainWin::DocPdfMnClick, "k.pdf"}}) {
    for (bool started : {false, true}) {
      SCOPED_TRACE(std::string(item.name) + (started ? ", started" : ", waiting"));
      SteppedWorld w;
      QTemporaryDir dir;
      w.host.savePath = dir.filePath(QString::fromLatin1(item.file));
      if (!started) {
        w.clock.Advance(1000);
        w.win->UDPTimerTimer();
        ASSERT_TRUE(w.steps->Step());  // the tick is under way
      }
      (w.win.get()->*item.click)();
      ASSERT_EQ(w.host.saveCalls, 1);
      ASSERT_GT(w.steps->Waiting(), 0u);
      w.win->Quit();
      EXPECT_TRUE(w.win->Quitting());
      w.steps->RunAll();
      QApplication::processEvents();
      EXPECT_TRUE(w.win->Idle());
      EXPECT_TRUE(w.host.infos.empty()) << "a box opened after the signal";
      EXPECT_TRUE(w.host.errors.empty());
      EXPECT_EQ(QFile::exists(w.host.savePath), started);
      if (started) {
        EXPECT_TRUE(w.Find<QLabel>("StatusLbl")->text().startsWith("Zapisano "));
      }
      const size_t from = w.ctrl->received.size();
      w.clock.Advance(1000);
      w.win->UDPTimerTimer();
      w.steps->RunAll();
      EXPECT_EQ(w.Received(*w.ctrl, from), "") << "the window did not close";
    }
  }
}

// "Nowy plan z sieci" reads one controller after the other. A signal during the first read
// ends it: the second controller is not asked and no plan window opens.
TEST(MainWinOps, ASignalDuringANewPlanReadEndsItWithoutAWindow) {
  SteppedWorld w(true);
  SimDevice& a = w.AddController(MakeId(327, 5), 0xC0A8010Au, 2, 2);
  SimDevice& b = w.AddController(MakeId(327, 6), 0xC0A8010Bu, 2, 2);
  w.StartStepped();
  const size_t fromB = b.received.size();
  w.win->NewPlanMnClick();
  ASSERT_EQ(w.steps->Waiting(), 1u) << "the read of the first controller";
  w.win->Quit();
  w.steps->RunAll();
  QApplication::processEvents();
  EXPECT_TRUE(w.win->Idle());
  EXPECT_NE(a.received.size(), 0u);
  EXPECT_EQ(w.Received(b, fromB), "") << "a controller was read after the signal";
  EXPECT_TRUE(w.win->findChildren<QWidget*>(QStringLiteral("TPlanWin")).isEmpty())
      << "a plan window opened after the signal";
  EXPECT_TRUE(w.host.infos.empty());
  EXPECT_TRUE(w.host.errors.empty());
}
