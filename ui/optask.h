// A window operation as a coroutine: the steps that touch the window run on the window's
// thread, each network step is handed to the link's executor with `co_await`. With an
// inline executor nothing suspends and an operation runs to its end at once.
#pragma once
#include <coroutine>
#include <exception>
#include <functional>
#include <utility>

#include "link/executor.h"

class OpTask {
 public:
  struct promise_type {
    std::coroutine_handle<> next;  // the operation awaiting this one, if any
    std::exception_ptr error;

    OpTask get_return_object() {
      return OpTask(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct Final {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        std::coroutine_handle<> n = h.promise().next;
        return n ? n : std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    Final final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() { error = std::current_exception(); }
  };

  OpTask() = default;
  OpTask(OpTask&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  OpTask& operator=(OpTask&& o) noexcept {
    if (this != &o) {
      Reset();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  OpTask(const OpTask&) = delete;
  OpTask& operator=(const OpTask&) = delete;
  ~OpTask() { Reset(); }

  // Starts an operation that nobody awaits (the runner's).
  void Start() { h_.resume(); }
  bool Valid() const { return bool(h_); }
  bool Done() const { return !h_ || h_.done(); }
  // The error that ended the operation, if any.
  std::exception_ptr Error() const { return h_ ? h_.promise().error : nullptr; }
  // Destroys the operation, suspended or ended, with everything it holds.
  void Reset() {
    if (h_) h_.destroy();
    h_ = {};
  }

  // Awaiting an operation runs it as part of the awaiting one; its error passes on.
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    h_.promise().next = awaiting;
    return h_;
  }
  void await_resume() {
    if (h_.promise().error) std::rethrow_exception(h_.promise().error);
  }

 private:
  explicit OpTask(std::coroutine_handle<promise_type> h) : h_(h) {}
  std::coroutine_handle<promise_type> h_;
};

// One network step. `co_await` runs `work` through the executor; an exception thrown by
// the work is raised again on the window's thread. `resumed` runs on the window's thread
// after the operation has moved on from a step that really suspended.
class NetStep {
 public:
  NetStep(LinkExecutor& exec, std::function<void()> work, std::function<void()> before,
          std::function<void()> after, std::function<void()> resumed)
      : exec_(exec),
        work_(std::move(work)),
        before_(std::move(before)),
        after_(std::move(after)),
        resumed_(std::move(resumed)) {}

  bool await_ready() {
    if (before_) before_();
    if (!exec_.Inline()) return false;
    Do();
    return true;
  }
  void await_suspend(std::coroutine_handle<> h) {
    exec_.Run([this] { Do(); },
              [h, resumed = resumed_] {
                h.resume();
                if (resumed) resumed();
              });
  }
  void await_resume() {
    if (after_) after_();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void Do() {
    try {
      work_();
    } catch (...) {
      error_ = std::current_exception();
    }
  }
  LinkExecutor& exec_;
  std::function<void()> work_, before_, after_, resumed_;
  std::exception_ptr error_;
};
