#include "tests/common/fast_clock.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace zb::test {

FastClock::FastClock(platform::MessageLoop& loop, int step_ms, int real_us) : loop_(loop) {
  // Short sleeps should be short.
  ::prctl(PR_SET_TIMERSLACK, 1000UL);
  clock.auto_advance = false;
  clock.real_wait_ms = 1;
  loop_.SetClock(&clock);
  // Always readable: the loop never blocks while this clock is installed.
  fd_ = ::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
  this->step_ms = step_ms;
  watch_ = loop_.Watch(fd_, POLLIN, [this, real_us](int, short) {
    clock.Advance(this->step_ms);
    if (real_us > 0) ::usleep(static_cast<useconds_t>(real_us));
  });
}

FastClock::~FastClock() {
  loop_.Unwatch(watch_);
  ::close(fd_);
  loop_.SetClock(nullptr);
}

bool FastClock::RunUntil(const std::function<bool()>& cond, int64_t virtual_ms) {
  const int64_t end = clock.NowMs() + virtual_ms;
  while (!cond()) {
    if (clock.NowMs() >= end) return cond();
    loop_.WaitAndProcess(end - clock.NowMs());
  }
  return true;
}

}  // namespace zb::test
