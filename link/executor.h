// Where the link's network work runs. The window hands every exchange to an executor:
// inline on its own thread (tests in virtual time, command-line tools), or on one worker
// thread that owns the endpoint while the window's thread stays free.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class LinkExecutor {
 public:
  virtual ~LinkExecutor() = default;
  // True when Run has finished `work` and `done` before it returns.
  virtual bool Inline() const = 0;
  // Runs `work`; `done` follows on the owner's thread. Work runs in the order given, one
  // piece at a time.
  virtual void Run(std::function<void()> work, std::function<void()> done) = 0;
  // Waits for the piece running now, drops what is queued and undelivered, then runs
  // `last` on the executor's thread and waits for it. Nothing runs afterwards.
  virtual void Finish(const std::function<void()>& last) = 0;
};

class InlineExecutor : public LinkExecutor {
 public:
  bool Inline() const override { return true; }
  void Run(std::function<void()> work, std::function<void()> done) override;
  void Finish(const std::function<void()>& last) override;

 private:
  bool finished_ = false;
};

// One worker thread. When a piece of work has ended, `wake` is called on the worker; the
// owner's thread then calls Deliver(), which runs the `done` of every finished piece there.
// Everything handed between the two threads passes through one mutex, so whatever `work`
// wrote is visible to `done` and to what the owner does after it.
class WorkerExecutor : public LinkExecutor {
 public:
  explicit WorkerExecutor(std::function<void()> wake);
  ~WorkerExecutor() override;
  WorkerExecutor(const WorkerExecutor&) = delete;
  WorkerExecutor& operator=(const WorkerExecutor&) = delete;

  bool Inline() const override { return false; }
  void Run(std::function<void()> work, std::function<void()> done) override;
  void Finish(const std::function<void()>& last) override;
  // On the owner's thread: runs the `done` of finished work, in order.
  void Deliver();
  // True while work is queued or running (not counting undelivered `done`s).
  bool Working() const;

 private:
  struct Job {
    std::function<void()> work, done;
  };
  void Loop();

  std::function<void()> wake_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Job> queue_;
  std::deque<std::function<void()>> finished_;
  bool running_ = false;
  bool stop_ = false;
  std::thread thread_;
};
