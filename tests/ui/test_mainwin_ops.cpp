// The window's operations with their network steps taken one at a time by the test, in
// virtual time: what the user does between two steps of a tick or an action.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <deque>
#include <functional>

#include "tests/common/fakehost.h"

namespace {

constexpr uint32_t kIpA = 0xC0A8010Au;  // 192.168.1.10

uint32_t K27(uint32_t serial) {
  return MakeId(327, serial);
}

// Keeps every network step until the test lets it run, then continues the operation, as
// the worker and the window's thread do, but in an order the test decides.
class SteppedExecutor : public LinkExecutor {
 public:
  bool Inline() const override { return false; }
  void Run(std::function<void()> work, std::function<void()> done) override {
    steps_.push_back({std::move(work), std::move(done)});
  }
  void Finish(const std::function<void()>& last) override {
    steps_.clear();
    if (last) last();
  }
  size_t Waiting() const { return steps_.size(); }
  bool Step() {
    if (steps_.empty()) return false;
    auto s = std::move(steps_.front());
    steps_.pop_front();
    s.first();
    s.second();
    return true;
  }
  int RunAll() {
    int n = 0;
    while (Step()) ++n;
    return n;
  }

 private:
  std::deque<std::pair<std::function<void()>, std::function<void()>>> steps_;
};

struct SteppedWorld : GuiWorld {
  SteppedExecutor* steps = nullptr;
  SimDevice* ctrl = nullptr;
  // A controller with two passages, loaded at start-up; then the steps are the test's.
  SteppedWorld() {
    ctrl = &AddController(K27(5), kIpA, 2, 2);
    Start();
    auto exec = std::make_unique<SteppedExecutor>();
    steps = exec.get();
    win->UseLinkExecutor(std::move(exec));
  }
  QComboBox* Cb(const char* name) { return Find<QComboBox>(name); }
  static void Pick(QComboBox* box, IoRef value) {
    const int index = box->findData(uint(value));
    ASSERT_GE(index, 0) << box->objectName().toStdString() << " lacks " << value;
    box->setCurrentIndex(index);
    emit box->activated(index);
  }
};

}  // namespace

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

TEST(MainWinOps, CloseWaitsForTheRunningOperationSilentlyThenNothingMoreIsSent) {
  SteppedWorld w;
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  ASSERT_TRUE(w.steps->Step());
  w.Find<QPushButton>("WrCfgBtn")->click();
  // The controller stops answering: the write that waits will fail.
  w.ctrl->faults.offline = true;
  EXPECT_FALSE(w.win->close()) << "closed while work was waiting";
  w.steps->RunAll();
  QApplication::processEvents();  // the close that waited comes as an event of its own
  EXPECT_TRUE(w.win->Idle());
  EXPECT_TRUE(w.host.errors.empty()) << "an error box held up the close";
  // Closed now: ticks no longer run.
  const size_t from = w.ctrl->received.size();
  w.clock.Advance(1000);
  w.win->UDPTimerTimer();
  w.steps->RunAll();
  EXPECT_EQ(w.Received(*w.ctrl, from), "");
}
