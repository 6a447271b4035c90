#include "platform/message_loop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>

namespace zb::platform {
namespace {

constexpr int64_t kTimerGridMs = 10;
// Rounds of posted messages Run takes before it looks at the descriptors again.
constexpr int kPostedRounds = 4;

int ClampTimeout(int64_t ms) {
  if (ms < 0) return -1;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

int64_t SystemClock::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t SystemClock::LocalWallMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::time_t t = ts.tv_sec;
  std::tm tm{};
  localtime_r(&t, &tm);
  return (static_cast<int64_t>(t) + tm.tm_gmtoff) * 1000 + ts.tv_nsec / 1'000'000;
}

ManualClock::ManualClock(int64_t start_ms) : now_(start_ms) {
  wall_offset_ = SystemClock().LocalWallMs() - now_;
}

MessageLoop::MessageLoop() : clock_(&system_clock_), epoll_fd_(::epoll_create1(EPOLL_CLOEXEC)) {}

MessageLoop::~MessageLoop() {
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

void MessageLoop::SetClock(Clock* clock) {
  clock_ = clock ? clock : &system_clock_;
  manual_ = dynamic_cast<ManualClock*>(clock);
  // Due times belong to the old clock's time line: restart every period on the new one.
  for (Timer* t : timers_) Reschedule(t);
}

int MessageLoop::Watch(int fd, short events, FdHandler handler, bool late) {
  int id = next_watch_id_++;
  auto w = std::make_shared<WatchEntry>();
  w->id = id;
  w->late = late;
  w->fd = fd;
  w->events = events;
  w->handler = std::move(handler);
  FdEntry& e = fds_[fd];
  e.synthetic = 0;
  e.renew = true;
  e.watches.push_back(w);
  watches_[id] = std::move(w);
  MarkDirty(fd);
  return id;
}

void MessageLoop::SetEvents(int watch_id, short events) {
  auto it = watches_.find(watch_id);
  if (it == watches_.end()) return;
  it->second->events = events;
  MarkDirty(it->second->fd);
}

void MessageLoop::Unwatch(int watch_id) {
  auto it = watches_.find(watch_id);
  if (it == watches_.end()) return;
  it->second->alive = false;  // a dispatch in progress holds its own reference
  MarkDirty(it->second->fd);
  watches_.erase(it);
}

void MessageLoop::MarkDirty(int fd) { dirty_fds_.push_back(fd); }

void MessageLoop::SyncInterest() {
  std::vector<int> dirty;
  dirty.swap(dirty_fds_);
  for (int fd : dirty) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) continue;
    FdEntry& e = it->second;
    auto& ws = e.watches;
    ws.erase(std::remove_if(ws.begin(), ws.end(), [](const auto& w) { return !w->alive; }),
             ws.end());
    uint32_t want = 0;
    for (const auto& w : ws)
      if (!w->busy) want |= static_cast<uint16_t>(w->events);
    if (ws.empty()) {
      if (e.in_kernel) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
      fds_.erase(it);
      continue;
    }
    if (e.synthetic) continue;
    if (!e.renew && want == e.registered && (e.in_kernel || want == 0)) continue;
    if (e.renew) e.in_kernel = false;
    e.renew = false;
    if (want == 0) {
      // Removed rather than muted: a muted descriptor would still report errors and hang-ups
      // and wake every wait while its busy handler runs.
      ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
      e.in_kernel = false;
      e.registered = 0;
      continue;
    }
    epoll_event ev{};
    ev.events = want;
    ev.data.fd = fd;
    int r = ::epoll_ctl(epoll_fd_, e.in_kernel ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    // The kernel drops a descriptor that was closed; its number may be back as another file.
    if (r < 0 && errno == ENOENT) r = ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
    if (r < 0 && errno == EEXIST) r = ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev);
    if (r == 0) {
      e.in_kernel = true;
      e.registered = want;
    } else if (errno == EPERM) {
      // A plain file: always ready, as poll() reports it.
      e.in_kernel = false;
      e.synthetic = static_cast<short>(want & (POLLIN | POLLOUT));
    } else {
      e.in_kernel = false;
      e.synthetic = POLLNVAL;
    }
  }
  // The list goes back for reuse: marking happens on every host call.
  dirty.clear();
  if (dirty_fds_.empty()) dirty_fds_.swap(dirty);
}

void MessageLoop::Post(Message message) { posted_.emplace_back(++post_seq_, std::move(message)); }

void MessageLoop::PostWhenIdle(Message message) { idle_.push_back(std::move(message)); }

void MessageLoop::RunIdle(size_t count) {
  for (; count > 0 && !idle_.empty(); --count) {
    Message m = std::move(idle_.front());
    idle_.pop_front();
    if (m) RunHandler(m);
  }
}

bool MessageLoop::RunHandler(const std::function<void()>& f) {
  struct Depth {
    int& n;
    explicit Depth(int& v) : n(v) { ++n; }
    ~Depth() { --n; }
  } depth(nesting_);
  if (!OnHandlerException) {
    f();
    return true;
  }
  try {
    f();
  } catch (...) {
    OnHandlerException(std::current_exception());
  }
  return true;
}

bool MessageLoop::DispatchPosted() {
  // Only what was queued when the dispatch began, so a message that re-posts itself cannot
  // hold the loop; nested dispatches take from the same queue front, keeping posting order.
  const uint64_t last = post_seq_;
  const size_t idle_before = idle_.size();
  bool any = false;
  while (!posted_.empty() && posted_.front().first <= last) {
    Message m = std::move(posted_.front().second);
    posted_.pop_front();
    any = true;
    if (m) RunHandler(m);
  }
  RunIdle(idle_before);
  return any;
}

bool MessageLoop::DispatchFds(int timeout_ms) {
  if (timeout_ms != 0 && !idle_.empty()) {
    RunIdle(idle_.size());
    if (!posted_.empty()) timeout_ms = 0;
  }
  SyncInterest();
  struct Ready {
    std::shared_ptr<WatchEntry> w;
    uint64_t serial;
    short revents;
  };
  std::vector<Ready> ready;
  auto collect = [&](FdEntry& e, short revents) {
    for (auto& w : e.watches) {
      if (!w->alive || w->busy || w->events == 0) continue;
      short mine = static_cast<short>(revents & (w->events | POLLERR | POLLHUP | POLLNVAL));
      if (mine) ready.push_back({w, w->serial, mine});
    }
  };
  for (auto& [fd, e] : fds_)
    if (e.synthetic) collect(e, e.synthetic);
  if (!ready.empty()) timeout_ms = 0;
  epoll_event events[64];
  ++descriptor_looks_;
  int r = ::epoll_wait(epoll_fd_, events, 64, timeout_ms);
  interrupted_ = r < 0 && errno == EINTR;
  for (int i = 0; i < r; ++i) {
    auto it = fds_.find(events[i].data.fd);
    if (it != fds_.end()) collect(it->second, static_cast<short>(events[i].events));
  }
  // In the order the watches were made, whatever order the kernel reports them in; late ones
  // last.
  std::sort(ready.begin(), ready.end(), [](const Ready& a, const Ready& b) {
    return a.w->late != b.w->late ? b.w->late : a.w->id < b.w->id;
  });
  bool any = false;
  for (Ready& x : ready) {
    auto& w = x.w;
    // Skip watches removed, busy or already served (by a nested loop) since the wait: their
    // readiness is stale.
    if (!w->alive || w->busy || w->serial != x.serial) continue;
    // A descriptor closed without Unwatch would report POLLNVAL forever and make every wait
    // return at once: deliver it once and mute the watch.
    if (x.revents & POLLNVAL) w->events = 0;
    ++w->serial;
    any = true;
    struct Busy {
      MessageLoop& loop;
      WatchEntry& e;
      Busy(MessageLoop& l, WatchEntry& x) : loop(l), e(x) {
        e.busy = true;
        loop.MarkDirty(e.fd);
      }
      ~Busy() {
        e.busy = false;
        loop.MarkDirty(e.fd);
      }
    } busy(*this, *w);
    const short revents = x.revents;
    RunHandler([&] { w->handler(w->fd, revents); });
  }
  return any;
}

bool MessageLoop::IsRegistered(const Timer* t, uint64_t order) const {
  auto it = std::find(timers_.begin(), timers_.end(), t);
  return it != timers_.end() && (*it)->order_ == order;
}

bool MessageLoop::DispatchTimers() {
  int64_t now = NowMs();
  std::vector<TimerEntry> due;
  for (Timer* t : timers_)
    if (t->interval_ > 0 && t->due_ <= now) due.push_back({t, t->due_, t->order_});
  if (due.empty()) return false;
  std::sort(due.begin(), due.end(), [](const TimerEntry& a, const TimerEntry& b) {
    return a.due != b.due ? a.due < b.due : a.order < b.order;
  });
  bool any = false;
  for (const TimerEntry& e : due) {
    // An earlier handler may have destroyed, disabled or restarted this timer.
    if (!IsRegistered(e.timer, e.order)) continue;
    Timer* t = e.timer;
    Continue(t, now);  // before the handler, so a nested loop can fire it again
    any = true;
    if (t->OnTimer) {
      std::function<void()> f = t->OnTimer;  // the handler may destroy its timer
      RunHandler(f);
    }
  }
  return any;
}

void MessageLoop::RegisterTimer(Timer* t) {
  if (std::find(timers_.begin(), timers_.end(), t) == timers_.end()) timers_.push_back(t);
}

void MessageLoop::UnregisterTimer(Timer* t) {
  timers_.erase(std::remove(timers_.begin(), timers_.end(), t), timers_.end());
}

void MessageLoop::Reschedule(Timer* t) {
  t->due_ = NowMs() + t->interval_;
  t->order_ = ++timer_order_;
}

// The next period counts from when this one was due, not from when the loop got to it: a wake-up
// a little late (a loaded machine, the coarse grid) would otherwise lengthen every period and
// slow every tick-paced scan. A loop a whole period behind starts afresh rather than catching up
// with a burst of ticks.
void MessageLoop::Continue(Timer* t, int64_t now) {
  t->due_ += t->interval_;
  if (t->due_ <= now) t->due_ = now + t->interval_;
  t->order_ = ++timer_order_;
}

bool MessageLoop::TimerDueBy(int64_t now) const {
  for (const Timer* t : timers_)
    if (t->interval_ > 0 && t->due_ <= now) return true;
  return false;
}

int64_t MessageLoop::NextTimerDue() {
  int64_t next = -1;
  for (Timer* t : timers_)
    if (t->interval_ > 0 && (next < 0 || t->due_ < next)) next = t->due_;
  return next;
}

bool MessageLoop::DispatchAll() {
  bool any = DispatchPosted();
  any = DispatchFds(0) || any;
  any = DispatchTimers() || any;
  return any;
}

bool MessageLoop::ProcessMessages() {
  const bool any = DispatchAll();
  RunIdle(idle_.size());
  return any;
}

bool MessageLoop::WaitAndProcess(int64_t max_wait_ms) {
  const bool any = WaitAndDispatch(max_wait_ms);
  RunIdle(idle_.size());
  return any;
}

bool MessageLoop::WaitAndDispatch(int64_t max_wait_ms) {
  const bool limited = max_wait_ms >= 0;
  const int64_t deadline = limited ? NowMs() + max_wait_ms : 0;
  for (;;) {
    // With nothing posted and no timer due, the wait below is itself the look at the
    // descriptors: a separate look first would cost a system call on every wake-up.
    const bool quiet = !limited && !manual_ && posted_.empty() && !TimerDueBy(NowMs());
    if (!quiet && DispatchAll()) return true;
    int64_t now = NowMs();
    if (limited && now >= deadline) return false;
    int64_t wait = UntilNextTimer(now);
    if (limited) wait = wait < 0 ? deadline - now : std::min(wait, deadline - now);
    if (manual_) {
      if (!manual_->auto_advance || wait < 0) return DispatchFds(manual_->real_wait_ms);
      // Nothing is ready: jump virtual time to the next event instead of sleeping.
      manual_->Set(now + wait);
      continue;
    }
    if (DispatchFds(ClampTimeout(wait))) return true;
    // A signal ends the wait, so a caller can look at what its handler set.
    if (interrupted_) return false;
  }
}

int64_t MessageLoop::UntilNextTimer(int64_t now) {
  int64_t next = NextTimerDue();
  if (next < 0) return -1;
  // On the real clock timers wake the loop on a coarse grid, as window timers do: every
  // session's 100 ms timers then share one wake-up instead of each taking its own.
  if (!manual_) next = (next + kTimerGridMs - 1) / kTimerGridMs * kTimerGridMs;
  return std::max<int64_t>(0, next - now);
}

// The same order as WaitAndProcess in a loop (posted messages, descriptors, timers), but the
// outermost loop need not return after each dispatch: when the posted messages leave nothing
// else to do, the look at the descriptors is the wait itself. Otherwise every wake-up that posts
// a message (every host request) would cost an empty look and then the wait, two system calls.
// For the same reason what the posted messages post in turn (a request's command start) runs
// at once, a few rounds at most, so a chain of messages cannot keep the descriptors waiting.
void MessageLoop::Run() {
  while (!quit_) {
    if (manual_) {
      WaitAndProcess(-1);
      continue;
    }
    DispatchPosted();
    for (int round = 1; round < kPostedRounds && !quit_ && !posted_.empty(); ++round)
      DispatchPosted();
    if (!quit_ && posted_.empty()) {
      const int64_t now = NowMs();
      if (!TimerDueBy(now)) {
        // Messages the handlers post run before the timers, as they did.
        if (DispatchFds(ClampTimeout(UntilNextTimer(now))) || interrupted_) continue;
        DispatchTimers();
        continue;
      }
    }
    DispatchFds(0);
    DispatchTimers();
  }
  RunIdle(idle_.size());
}

void MessageLoop::AdvanceClock(int64_t ms) {
  if (!manual_) return;
  const int64_t target = manual_->NowMs() + ms;
  for (;;) {
    int64_t next = NextTimerDue();
    if (next < 0 || next > target) break;
    if (next > manual_->NowMs()) manual_->Set(next);
    ProcessMessages();
  }
  if (manual_->NowMs() < target) manual_->Set(target);
  ProcessMessages();
}

Timer::Timer(MessageLoop& loop) : loop_(loop) {}

Timer::~Timer() {
  if (enabled_) loop_.UnregisterTimer(this);
}

void Timer::SetInterval(int ms) {
  if (ms < 0) ms = 0;
  if (ms == interval_) return;
  interval_ = ms;
  if (enabled_) loop_.Reschedule(this);
}

void Timer::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (on) {
    loop_.RegisterTimer(this);
    loop_.Reschedule(this);
  } else {
    loop_.UnregisterTimer(this);
  }
}

}  // namespace zb::platform
