// Virtual time that runs by itself, much faster than real time, for tests whose far end is a
// real descriptor (a pseudo-terminal): every pass of the message loop moves a manual clock on by
// step_ms and sleeps real_us, so timers and time-outs elapse quickly while the kernel still has
// real time to carry octets across. Exact tick timing belongs in tests on a plain ManualClock.
#pragma once

#include <functional>

#include "platform/message_loop.h"

namespace zb::test {

class FastClock {
 public:
  explicit FastClock(platform::MessageLoop& loop, int step_ms = 1, int real_us = 20);
  ~FastClock();
  FastClock(const FastClock&) = delete;
  FastClock& operator=(const FastClock&) = delete;

  platform::ManualClock clock;
  int step_ms = 1;  // may be raised for long quiet stretches
  int64_t NowMs() { return clock.NowMs(); }
  // Runs the loop until cond() holds or virtual_ms passed; returns cond().
  bool RunUntil(const std::function<bool()>& cond, int64_t virtual_ms);
  void RunFor(int64_t virtual_ms) {
    RunUntil([] { return false; }, virtual_ms);
  }

 private:
  platform::MessageLoop& loop_;
  int fd_ = -1;
  int watch_ = 0;
};

}  // namespace zb::test
