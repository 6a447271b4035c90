// An awaitable that suspends a coroutine on the message loop without nesting it: a sleep, or a
// condition with a time limit. Whoever changes what the condition looks at calls Check(); the
// coroutine is resumed from a posted message once the condition holds or the time is up. It lives
// in the awaiting coroutine's frame, so destroying that frame cancels the wait, timer and all.
#pragma once

#include <algorithm>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "platform/message_loop.h"

namespace zb::platform {

class LoopWait {
 public:
  // Waits up to max_ms (0 or less: not at all); without a condition it is a sleep of max_ms.
  LoopWait(MessageLoop& loop, int64_t max_ms, std::function<bool()> cond = nullptr)
      : loop_(loop), max_ms_(max_ms), cond_(std::move(cond)), timer_(loop) {}
  LoopWait(const LoopWait&) = delete;
  LoopWait& operator=(const LoopWait&) = delete;

  bool await_ready() {
    if (cond_ && cond_()) held_ = true;
    return held_ || max_ms_ <= 0;
  }
  void await_suspend(std::coroutine_handle<> h) {
    handle_ = h;
    timer_.OnTimer = [this] { Finish(false); };
    timer_.SetInterval(static_cast<int>(std::min<int64_t>(max_ms_, INT32_MAX)));
    timer_.SetEnabled(true);
  }
  // True when the condition held (a sleep that ran its time: true as well).
  bool await_resume() const { return held_ || !cond_; }

  // Looks at the condition again; a no-op unless a coroutine is suspended on it.
  void Check() {
    if (handle_ && !finished_ && cond_ && cond_()) Finish(true);
  }

 private:
  void Finish(bool held) {
    if (finished_) return;
    finished_ = true;
    held_ = held;
    timer_.SetEnabled(false);
    // Not from here: the caller (a port or a machine run) is in the middle of its work.
    loop_.Post([h = handle_, alive = std::weak_ptr<bool>(alive_)] {
      if (!alive.expired()) h.resume();
    });
  }

  MessageLoop& loop_;
  int64_t max_ms_;
  std::function<bool()> cond_;
  Timer timer_;
  std::coroutine_handle<> handle_;
  bool held_ = false;
  bool finished_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace zb::platform
