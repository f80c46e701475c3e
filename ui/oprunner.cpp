#include "oprunner.h"

#include <algorithm>

#include "platform.h"

OpRunner::OpRunner(LinkThread mode, QObject* parent) : QObject(parent) {
  if (mode == LinkThread::Worker) {
    // The worker only rings; the window's thread takes the finished steps over through the
    // executor's own lock.
    exec_ = std::make_unique<WorkerExecutor>(
        MakeWakeup(this, [this] { static_cast<WorkerExecutor&>(*exec_).Deliver(); }));
  } else {
    exec_ = std::make_unique<InlineExecutor>();
  }
  slowTimer_.setSingleShot(true);
  slowTimer_.setInterval(kSlowMs);
  connect(&slowTimer_, &QTimer::timeout, this, [this] {
    slow_ = Running();
    if (onStateChange) onStateChange();
  });
}

OpRunner::~OpRunner() {
  Shutdown(nullptr);
}

bool OpRunner::ShowBusy() const {
  if (Running() && (currentKind_ != kTick || slow_)) return true;
  return std::any_of(pending_.begin(), pending_.end(),
                     [](const Pending& p) { return p.kind != kTick; });
}

void OpRunner::Submit(Kind kind, std::function<OpTask()> make) {
  if (shutDown_) return;
  if (kind == kTick && std::any_of(pending_.begin(), pending_.end(),
                                   [](const Pending& p) { return p.kind == kTick; }))
    return;
  pending_.push_back({kind, std::move(make)});
  if (onStateChange) onStateChange();
  Pump();
}

void OpRunner::Drop(Kind kind) {
  std::erase_if(pending_, [kind](const Pending& p) { return p.kind == kind; });
  if (onStateChange) onStateChange();
}

void OpRunner::Pump() {
  if (pumping_) return;
  pumping_ = true;
  while (!Running() && !pending_.empty() && !shutDown_) {
    Pending next = std::move(pending_.front());
    pending_.pop_front();
    currentKind_ = next.kind;
    slow_ = false;
    current_ = next.make();
    if (!exec_->Inline()) slowTimer_.start();
    current_.Start();
    // Inline, the operation has ended here; on the worker it goes on in Resumed().
    if (current_.Done()) EndCurrent();
  }
  pumping_ = false;
  if (onStateChange) onStateChange();
  if (escaped_) std::rethrow_exception(std::exchange(escaped_, nullptr));
}

void OpRunner::EndCurrent() {
  if (std::exception_ptr e = current_.Error()) escaped_ = e;
  current_.Reset();
  slowTimer_.stop();
  slow_ = false;
}

void OpRunner::Resumed() {
  if (!current_.Valid() || !current_.Done()) return;
  EndCurrent();
  Pump();
}

void OpRunner::Shutdown(const std::function<void()>& last) {
  if (shutDown_) return;
  shutDown_ = true;
  slowTimer_.stop();
  exec_->Finish(last);
  pending_.clear();
  current_.Reset();
}
