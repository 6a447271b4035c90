// A lazy C++20 coroutine task for work that waits on the message loop without nesting it: a
// Task<T> starts when awaited (or Start()ed), suspends wherever it awaits an answer and is
// resumed by whoever delivers that answer. The Task object owns the coroutine frame: destroying
// it destroys the frame with every local of the whole chain of awaiting tasks, so an owner that
// goes away while its work is suspended simply frees that work.
#pragma once

#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

namespace zb::platform {

template <typename T>
class Task;

namespace detail {

struct TaskPromiseBase {
  std::coroutine_handle<> continuation;
  std::exception_ptr error;
  // Called once when an un-awaited (started) task ends; must not throw.
  std::function<void()> on_done;

  std::suspend_always initial_suspend() noexcept { return {}; }
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <typename P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      TaskPromiseBase& p = h.promise();
      if (p.continuation) return p.continuation;
      if (p.on_done) {
        // Moved out first: the callback may destroy the task, and with it this promise.
        std::function<void()> done = std::move(p.on_done);
        done();
      }
      return std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <typename T>
struct TaskPromise : TaskPromiseBase {
  std::optional<T> value;
  Task<T> get_return_object() noexcept;
  template <typename U>
  void return_value(U&& v) {
    value.emplace(std::forward<U>(v));
  }
  T take() {
    if (error) std::rethrow_exception(error);
    return std::move(*value);
  }
};

template <>
struct TaskPromise<void> : TaskPromiseBase {
  Task<void> get_return_object() noexcept;
  void return_void() noexcept {}
  void take() {
    if (error) std::rethrow_exception(error);
  }
};

}  // namespace detail

template <typename T = void>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::TaskPromise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  Task() = default;
  explicit Task(Handle h) : h_(h) {}
  Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Task& operator=(Task&& o) noexcept {
    if (this != &o) {
      Reset();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  ~Task() { Reset(); }

  bool Valid() const { return bool(h_); }
  bool Done() const { return h_ && h_.done(); }
  // The failure the task ended with (nullptr while it runs or when it ended normally).
  std::exception_ptr Error() const { return h_ ? h_.promise().error : nullptr; }
  // Destroys the frame, suspended or finished.
  void Reset() {
    if (h_) std::exchange(h_, {}).destroy();
  }

  // Runs a task nobody awaits up to its first suspension; on_done runs when it has ended (not
  // when it is destroyed unfinished).
  void Start(std::function<void()> on_done = nullptr) {
    h_.promise().on_done = std::move(on_done);
    h_.resume();
  }

  // The value of a started task that has ended, or the failure it ended with.
  T Take() { return h_.promise().take(); }

  // Awaiting a task runs it; the awaiter resumes when it has ended, with its value or its failure.
  auto operator co_await() && noexcept {
    struct Awaiter {
      Handle h;
      bool await_ready() noexcept { return !h || h.done(); }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<> outer) noexcept {
        h.promise().continuation = outer;
        return h;
      }
      T await_resume() { return h.promise().take(); }
    };
    return Awaiter{h_};
  }

 private:
  Handle h_;
};

namespace detail {
template <typename T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}
inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}
}  // namespace detail

}  // namespace zb::platform
