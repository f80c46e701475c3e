// Runs the window's operations one at a time, in the order they were asked for, with their
// network steps on the link's executor: inline (tests, virtual time) or on a worker thread
// (the program), so the window's thread never waits on the network.
#pragma once
#include <QObject>
#include <QTimer>
#include <deque>
#include <exception>
#include <functional>
#include <memory>

#include "link/executor.h"
#include "optask.h"

enum class LinkThread { Inline, Worker };

class OpRunner : public QObject {
 public:
  // kDialog: a user's action that opens dialogs of its own ("Raport"); dropped, unlike the
  // others, when the window closes before it starts.
  enum Kind { kTick, kUser, kDialog };

  explicit OpRunner(LinkThread mode, QObject* parent = nullptr);
  ~OpRunner() override;

  LinkExecutor& Exec() { return *exec_; }
  // Another executor, while nothing runs or waits (tests that take the steps one by one).
  void UseExecutor(std::unique_ptr<LinkExecutor> exec) {
    if (Idle() && exec) exec_ = std::move(exec);
  }

  // Queues an operation; it starts at once when nothing runs. A tick asked for while another
  // tick waits is the same tick: ticks never pile up.
  void Submit(Kind kind, std::function<OpTask()> make);
  // Drops the operations of this kind that wait (the window is closing).
  void Drop(Kind kind);

  bool Running() const { return current_.Valid(); }
  // The kind of the operation running now (meaningful while Running()).
  Kind CurrentKind() const { return currentKind_; }
  bool Idle() const { return !Running() && pending_.empty(); }
  // A user's action is running or waiting, or an operation has run longer than kSlowMs.
  bool ShowBusy() const;

  // Called whenever ShowBusy() or Idle() may have changed.
  std::function<void()> onStateChange;

  // Waits for the network step running now (bounded by its own waits), drops the rest,
  // then runs `last` on the executor's thread. Nothing runs afterwards.
  void Shutdown(const std::function<void()>& last);

  // For NetStep: the operation went on after a step that suspended.
  void Resumed();

  static constexpr int kSlowMs = 250;

 private:
  struct Pending {
    Kind kind;
    std::function<OpTask()> make;
  };
  void Pump();
  void EndCurrent();

  std::unique_ptr<LinkExecutor> exec_;
  std::deque<Pending> pending_;
  OpTask current_;
  Kind currentKind_ = kTick;
  bool pumping_ = false;
  bool shutDown_ = false;
  bool slow_ = false;  // the running operation has passed kSlowMs
  QTimer slowTimer_;
  std::exception_ptr escaped_;  // an error no operation caught, raised again by Pump
};
