// The single-threaded message loop that stands in for the windowing platform's UI thread:
// descriptor watches, window-style timers, posted messages, nesting from any handler, and an
// injectable clock. Nothing here spins: every wait blocks in epoll_wait() until a descriptor is
// ready, a message is posted or the next timer is due. The descriptor set stays in the kernel, so
// a wake-up costs the same with 3 watches or 800.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zb::platform {

// Monotonic milliseconds for timers and waits; the wall clock for dates a person reads.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t NowMs() = 0;
  // Local civil time as milliseconds since 1970-01-01 00:00 of the same zone (UTC plus the
  // zone's offset at that moment).
  virtual int64_t LocalWallMs() = 0;
};

class SystemClock : public Clock {
 public:
  int64_t NowMs() override;
  int64_t LocalWallMs() override;
};

// Test clock: time moves only when told. When the loop has to wait and no descriptor is ready,
// it jumps the clock to the next due timer (or to the end of the wait) instead of sleeping, so
// a synchronous BACnet wait on a scripted network finishes at once in virtual time.
// With auto_advance off, waits poll descriptors for real (up to real_wait_ms) and then return
// without moving the clock.
// Its wall clock starts at the real local time and moves with the manual time; SetLocalWallMs
// sets the date.
class ManualClock : public Clock {
 public:
  explicit ManualClock(int64_t start_ms = 1'000'000);
  int64_t NowMs() override { return now_; }
  int64_t LocalWallMs() override { return now_ + wall_offset_; }
  void Set(int64_t ms) { now_ = ms; }
  void Advance(int64_t ms) { now_ += ms; }
  void SetLocalWallMs(int64_t ms) { wall_offset_ = ms - now_; }
  bool auto_advance = true;
  int real_wait_ms = 10;

 private:
  int64_t now_;
  int64_t wall_offset_;
};

class Timer;

class MessageLoop {
 public:
  using FdHandler = std::function<void(int fd, short revents)>;
  using Message = std::function<void()>;

  MessageLoop();
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // The clock is not owned; nullptr restores the system clock.
  void SetClock(Clock* clock);
  Clock& clock() { return *clock_; }
  int64_t NowMs() { return clock_->NowMs(); }
  ManualClock* manual_clock() { return manual_; }

  // Watch a descriptor for POLLIN / POLLOUT. Returns a watch id (> 0). While a watch's handler
  // runs, nested loops do not dispatch that watch again (as an asynchronous socket does not
  // re-post its notification before the handler has read).
  // A `late` watch is dispatched after the others that are ready in the same look: a host's
  // request then sees what the devices' answers of that moment have completed.
  int Watch(int fd, short events, FdHandler handler, bool late = false);
  void SetEvents(int watch_id, short events);
  void Unwatch(int watch_id);

  // Queue a message; it runs on a later dispatch, in posting order.
  void Post(Message message);

  // For work best done once the loop has nothing else ready: output that wakes another process,
  // which may then take this processor from the loop's own next steps (a request already due to
  // a device). Runs before the loop next blocks, before ProcessMessages and WaitAndProcess
  // return, and at the latest after the next pass of posted messages; in posting order.
  void PostWhenIdle(Message message);

  // Dispatch everything pending now (posted messages, ready descriptors, due timers) and return
  // without blocking. Returns true when anything was dispatched. Safe to call from any handler.
  bool ProcessMessages();

  // Block until at least one event has been dispatched or max_wait_ms has passed on the clock
  // (negative: no limit); a signal arriving ends the wait early. Returns true when something
  // was dispatched.
  bool WaitAndProcess(int64_t max_wait_ms);

  // Run until Quit(); nested Run() calls are not supported, nested waits are.
  void Run();
  void Quit() { quit_ = true; }
  bool quit_requested() const { return quit_; }
  void ResetQuit() { quit_ = false; }

  // Manual clock only: move time forward by ms, firing every timer that falls due on the way in
  // order, each at its own due time (advance 15 s of 100 ms ticks at once).
  void AdvanceClock(int64_t ms);

  // Depth of nested dispatching (0 outside any handler).
  int nesting() const { return nesting_; }
  // Looks at the descriptors so far, each a system call: what the loop's wake-ups cost.
  uint64_t descriptor_looks() const { return descriptor_looks_; }

  // When set, an exception escaping a handler is handed here and dispatching goes on; when not
  // set it propagates out of ProcessMessages / WaitAndProcess to the caller.
  std::function<void(std::exception_ptr)> OnHandlerException;

 private:
  friend class Timer;
  struct WatchEntry {
    int id = 0;
    int fd;
    short events;
    FdHandler handler;
    bool busy = false;
    bool alive = true;
    bool late = false;
    uint64_t serial = 0;  // counts dispatches, to drop readiness a nested loop already served
  };
  struct TimerEntry {
    Timer* timer;
    int64_t due;
    uint64_t order;
  };
  void RegisterTimer(Timer* t);
  void UnregisterTimer(Timer* t);
  void Reschedule(Timer* t);
  void Continue(Timer* t, int64_t now);
  int64_t NextTimerDue();  // -1 when none
  // Milliseconds from now to the next timer's wake-up (-1: no timer).
  int64_t UntilNextTimer(int64_t now);
  bool TimerDueBy(int64_t now) const;
  bool DispatchPosted();
  bool DispatchAll();
  bool WaitAndDispatch(int64_t max_wait_ms);
  void RunIdle(size_t count);  // the first `count` of the idle messages
  bool DispatchFds(int timeout_ms);
  bool DispatchTimers();
  bool RunHandler(const std::function<void()>& f);
  // Brings the kernel's interest set up to date for the descriptors whose watches changed.
  void SyncInterest();
  void MarkDirty(int fd);
  bool IsRegistered(const Timer* t, uint64_t order) const;

  SystemClock system_clock_;
  Clock* clock_;
  ManualClock* manual_ = nullptr;
  std::map<int, std::shared_ptr<WatchEntry>> watches_;
  // Per descriptor: its watches and what the kernel has been asked to report.
  struct FdEntry {
    std::vector<std::shared_ptr<WatchEntry>> watches;
    uint32_t registered = 0;
    bool in_kernel = false;
    short synthetic = 0;  // readiness the kernel cannot report (closed or plain-file descriptors)
    // A new watch: the number may belong to a new file since the kernel dropped the old one.
    bool renew = true;
  };
  std::unordered_map<int, FdEntry> fds_;
  std::vector<int> dirty_fds_;
  int epoll_fd_ = -1;
  int next_watch_id_ = 1;
  std::deque<std::pair<uint64_t, Message>> posted_;  // with a posting sequence number
  uint64_t post_seq_ = 0;
  std::deque<Message> idle_;
  std::vector<Timer*> timers_;
  uint64_t timer_order_ = 0;
  bool quit_ = false;
  bool interrupted_ = false;  // the last poll was ended by a signal
  int nesting_ = 0;
  uint64_t descriptor_looks_ = 0;
};

// A window-style timer: fires OnTimer every Interval ms while Enabled (Interval 0 never fires).
// Changing Interval or Enabled restarts the period; assigning the value it already has changes
// nothing (disable and enable again to restart). Periods follow each other from their due times,
// so a late dispatch does not stretch the cadence; a timer a whole period late fires once and
// starts a fresh period, so it does not fire in bursts. A timer whose handler processes messages
// may fire again inside that nested call; handlers that must not re-enter guard themselves. A timer
// must not outlive its loop.
class Timer {
 public:
  explicit Timer(MessageLoop& loop);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  int Interval() const { return interval_; }
  void SetInterval(int ms);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);
  std::function<void()> OnTimer;

  MessageLoop& loop() { return loop_; }

 private:
  friend class MessageLoop;
  MessageLoop& loop_;
  int interval_ = 1000;
  bool enabled_ = false;
  int64_t due_ = 0;
  uint64_t order_ = 0;
};

}  // namespace zb::platform
