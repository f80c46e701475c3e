// The window's network steps taken one at a time by the test, in virtual time.
#pragma once
#include <gtest/gtest.h>

#include <QComboBox>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

#include "tests/common/fakehost.h"

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
  // A controller K27_00005 with two passages, loaded at start-up; then the steps are the
  // test's. With `empty`, the test adds its devices and calls StartStepped() itself.
  explicit SteppedWorld(bool empty = false) {
    if (empty) return;
    ctrl = &AddController(MakeId(327, 5), 0xC0A8010Au, 2, 2);
    StartStepped();
  }
  // Starts the window (start-up runs inline), then hands the steps to the test.
  void StartStepped() {
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
