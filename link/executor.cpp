#include "link/executor.h"

void InlineExecutor::Run(std::function<void()> work, std::function<void()> done) {
  if (finished_) return;
  work();
  if (done) done();
}

void InlineExecutor::Finish(const std::function<void()>& last) {
  if (finished_) return;
  finished_ = true;
  if (last) last();
}

WorkerExecutor::WorkerExecutor(std::function<void()> wake) : wake_(std::move(wake)) {
  thread_ = std::thread([this] { Loop(); });
}

WorkerExecutor::~WorkerExecutor() {
  Finish(nullptr);
}

void WorkerExecutor::Run(std::function<void()> work, std::function<void()> done) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_) return;
    queue_.push_back({std::move(work), std::move(done)});
  }
  cv_.notify_all();
}

bool WorkerExecutor::Working() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_ || !queue_.empty();
}

void WorkerExecutor::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopped, nothing left
    Job job = std::move(queue_.front());
    queue_.pop_front();
    running_ = true;
    lock.unlock();
    job.work();
    lock.lock();
    running_ = false;
    if (!stop_ && job.done) finished_.push_back(std::move(job.done));
    const bool tell = !stop_ && wake_;
    // The owner is woken without the lock held: its wake may take locks of its own.
    lock.unlock();
    if (tell) wake_();
    lock.lock();
    cv_.notify_all();
  }
}

void WorkerExecutor::Deliver() {
  for (;;) {
    std::function<void()> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (finished_.empty() || stop_) return;
      done = std::move(finished_.front());
      finished_.pop_front();
    }
    done();
  }
}

void WorkerExecutor::Finish(const std::function<void()>& last) {
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (!thread_.joinable()) return;
    // The piece running now ends by its own waits; what is queued is dropped.
    queue_.clear();
    finished_.clear();
    if (last) queue_.push_back({last, nullptr});
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}
