#include "platform/message_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zb::platform {
namespace {

class LoopTest : public ::testing::Test {
 protected:
  LoopTest() { loop.SetClock(&clock); }
  ManualClock clock;
  MessageLoop loop;
};

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK) == 0) r = fds[0], w = fds[1];
  }
  ~Pipe() {
    if (r >= 0) ::close(r);
    if (w >= 0) ::close(w);
  }
  void Put(const std::string& s) { ASSERT_EQ(::write(w, s.data(), s.size()), (ssize_t)s.size()); }
  std::string Take() {
    char buf[256];
    ssize_t n = ::read(r, buf, sizeof buf);
    return n > 0 ? std::string(buf, n) : std::string();
  }
};

TEST_F(LoopTest, PostedMessagesRunInOrderAndNestedCallsKeepIt) {
  std::string log;
  loop.Post([&] {
    log += "a";
    EXPECT_EQ(loop.nesting(), 1);
    loop.ProcessMessages();  // runs b, c here, before the outer batch continues
    log += "A";
  });
  loop.Post([&] {
    log += "b";
    EXPECT_EQ(loop.nesting(), 2);
  });
  loop.Post([&] {
    log += "c";
    loop.Post([&] { log += "d"; });  // posted during dispatch: waits for the next one
  });
  EXPECT_TRUE(loop.ProcessMessages());
  EXPECT_EQ(log, "abcA");
  EXPECT_EQ(loop.nesting(), 0);
  EXPECT_TRUE(loop.ProcessMessages());
  EXPECT_EQ(log, "abcAd");
  EXPECT_FALSE(loop.ProcessMessages());
}

TEST_F(LoopTest, SelfRepostingMessageDoesNotHoldProcessMessages) {
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop.Post(again);
  };
  loop.Post(again);
  loop.ProcessMessages();
  loop.ProcessMessages();
  EXPECT_EQ(runs, 2);
}

TEST_F(LoopTest, TimersFireInDueOrderWithTiesInStartOrder) {
  std::string log;
  Timer a(loop), b(loop), c(loop), off(loop);
  a.SetInterval(300);
  b.SetInterval(100);
  c.SetInterval(300);
  off.SetInterval(10);  // never enabled
  a.OnTimer = [&] { log += "a"; };
  b.OnTimer = [&] { log += "b"; };
  c.OnTimer = [&] { log += "c"; };
  off.OnTimer = [&] { log += "X"; };
  a.SetEnabled(true);
  c.SetEnabled(true);
  b.SetEnabled(true);
  loop.AdvanceClock(99);
  EXPECT_EQ(log, "");
  loop.AdvanceClock(1);
  EXPECT_EQ(log, "b");
  loop.AdvanceClock(200);  // b at 200; at 300 a and c go before b, whose period restarted later
  EXPECT_EQ(log, "bbacb");
}

TEST_F(LoopTest, AdvanceClockFiresEachTickAtItsOwnTime) {
  Timer t(loop);
  t.SetInterval(100);
  std::vector<int64_t> at;
  t.OnTimer = [&] { at.push_back(clock.NowMs()); };
  int64_t start = clock.NowMs();
  t.SetEnabled(true);
  loop.AdvanceClock(15'000);
  ASSERT_EQ(at.size(), 150u);
  for (size_t i = 0; i < at.size(); ++i) EXPECT_EQ(at[i], start + 100 * int64_t(i + 1));
  EXPECT_EQ(clock.NowMs(), start + 15'000);
}

TEST_F(LoopTest, LateDispatchKeepsTheCadenceAndSkipsMissedPeriods) {
  Timer t(loop);
  t.SetInterval(100);
  std::vector<int64_t> at;
  t.OnTimer = [&] { at.push_back(clock.NowMs()); };
  const int64_t start = clock.NowMs();
  t.SetEnabled(true);
  auto at_time = [&](int64_t ms) {
    clock.Set(start + ms);
    loop.ProcessMessages();
  };
  at_time(107);  // served 7 ms late: the next tick is still due at 200, not 207
  at_time(200);
  at_time(309);
  at_time(399);
  at_time(400);
  at_time(650);  // two periods missed: one tick, then a fresh period from here
  at_time(700);
  at_time(749);
  at_time(750);
  EXPECT_EQ(at, (std::vector<int64_t>{start + 107, start + 200, start + 309, start + 400,
                                      start + 650, start + 750}));
}

TEST_F(LoopTest, IntervalAndEnabledChangesRestartThePeriod) {
  Timer t(loop);
  int fired = 0;
  t.OnTimer = [&] { ++fired; };
  t.SetInterval(100);
  t.SetEnabled(true);
  loop.AdvanceClock(60);
  t.SetEnabled(true);  // same value: no restart
  loop.AdvanceClock(40);
  EXPECT_EQ(fired, 1);
  loop.AdvanceClock(60);
  t.SetInterval(200);  // restart from now
  loop.AdvanceClock(199);
  EXPECT_EQ(fired, 1);
  loop.AdvanceClock(1);
  EXPECT_EQ(fired, 2);
  t.SetEnabled(false);
  loop.AdvanceClock(1000);
  EXPECT_EQ(fired, 2);
  t.SetInterval(0);
  t.SetEnabled(true);
  loop.AdvanceClock(1000);
  EXPECT_EQ(fired, 2);  // interval 0 never fires
}

TEST_F(LoopTest, TimerFiresAgainInsideItsOwnNestedWait) {
  Timer t(loop);
  t.SetInterval(100);
  int depth = 0, max_depth = 0, fired = 0;
  t.OnTimer = [&] {
    ++fired;
    ++depth;
    max_depth = std::max(max_depth, depth);
    if (depth == 1) {
      // A synchronous wait inside a tick: the timer keeps ticking inside it.
      for (int i = 0; i < 3; ++i) loop.WaitAndProcess(1000);
    }
    --depth;
  };
  t.SetEnabled(true);
  EXPECT_TRUE(loop.WaitAndProcess(-1));
  EXPECT_EQ(fired, 4);
  EXPECT_EQ(max_depth, 2);
}

TEST_F(LoopTest, TimersMayRemoveThemselvesAndOthersDuringDispatch) {
  std::string log;
  auto a = std::make_unique<Timer>(loop);
  auto b = std::make_unique<Timer>(loop);
  Timer c(loop);
  for (Timer* t : {a.get(), b.get(), &c}) t->SetInterval(100);
  a->OnTimer = [&] {
    log += "a";
    b.reset();  // due at the same time, must not fire
    a.reset();  // destroys the running timer
  };
  b->OnTimer = [&] { log += "b"; };
  c.OnTimer = [&] {
    log += "c";
    c.SetEnabled(false);
  };
  a->SetEnabled(true);
  b->SetEnabled(true);
  c.SetEnabled(true);
  loop.AdvanceClock(1000);
  EXPECT_EQ(log, "ac");
}

TEST_F(LoopTest, TimerStartedByHandlerRunsOnItsOwnPeriod) {
  Timer first(loop), second(loop);
  std::vector<int64_t> at;
  int64_t start = clock.NowMs();
  first.SetInterval(100);
  second.SetInterval(50);
  first.OnTimer = [&] {
    first.SetEnabled(false);
    second.SetEnabled(true);
  };
  second.OnTimer = [&] { at.push_back(clock.NowMs() - start); };
  first.SetEnabled(true);
  loop.AdvanceClock(250);
  EXPECT_EQ(at, (std::vector<int64_t>{150, 200, 250}));
}

TEST_F(LoopTest, AutoAdvanceJumpsToTheNextTimerOrTheDeadline) {
  Timer t(loop);
  t.SetInterval(5000);
  int fired = 0;
  t.OnTimer = [&] { ++fired; };
  t.SetEnabled(true);
  int64_t start = clock.NowMs();
  EXPECT_FALSE(loop.WaitAndProcess(1000));
  EXPECT_EQ(clock.NowMs(), start + 1000);
  EXPECT_TRUE(loop.WaitAndProcess(10'000));
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(clock.NowMs(), start + 5000);

  clock.auto_advance = false;
  clock.real_wait_ms = 1;
  EXPECT_FALSE(loop.WaitAndProcess(10'000));
  EXPECT_EQ(clock.NowMs(), start + 5000);  // time stands still without auto_advance
}

TEST_F(LoopTest, PipeWatchDeliversDataAndIsNotReenteredWhileBusy) {
  Pipe p;
  ASSERT_GE(p.r, 0);
  std::string got;
  int calls = 0, nested_dispatches = 0;
  int id = loop.Watch(p.r, POLLIN, [&](int fd, short revents) {
    EXPECT_EQ(fd, p.r);
    EXPECT_TRUE(revents & POLLIN);
    ++calls;
    // Still readable: a nested loop must not deliver this watch again.
    if (loop.ProcessMessages()) ++nested_dispatches;
    got += p.Take();
  });
  EXPECT_FALSE(loop.ProcessMessages());
  p.Put("hello");
  EXPECT_TRUE(loop.WaitAndProcess(0));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(nested_dispatches, 0);
  EXPECT_EQ(got, "hello");

  loop.SetEvents(id, 0);  // paused
  p.Put("x");
  EXPECT_FALSE(loop.ProcessMessages());
  loop.SetEvents(id, POLLIN);
  EXPECT_TRUE(loop.ProcessMessages());
  EXPECT_EQ(got, "hellox");
  loop.Unwatch(id);
  p.Put("y");
  EXPECT_FALSE(loop.ProcessMessages());
}

TEST_F(LoopTest, WatchesMayBeRemovedAndAddedInsideHandlers) {
  Pipe p1, p2;
  int id1 = 0, id2 = 0, calls1 = 0, calls2 = 0, calls3 = 0;
  id1 = loop.Watch(p1.r, POLLIN, [&](int, short) {
    ++calls1;
    loop.Unwatch(id1);  // itself
    loop.Unwatch(id2);  // the other ready one, polled in the same pass
    loop.Watch(p1.r, POLLIN, [&](int, short) {
      ++calls3;
      p1.Take();
    });
  });
  id2 = loop.Watch(p2.r, POLLIN, [&](int, short) { ++calls2; });
  p1.Put("a");
  p2.Put("b");
  loop.ProcessMessages();
  EXPECT_EQ(calls1, 1);
  EXPECT_EQ(calls2, 0);
  loop.ProcessMessages();
  EXPECT_EQ(calls3, 1);
}

TEST_F(LoopTest, LateWatchesComeAfterTheOthersReadyInTheSameLook) {
  // A host connection watched first still sees what a device's answer of the same moment did.
  Pipe host, device, other;
  std::vector<std::string> order;
  loop.Watch(
      host.r, POLLIN, [&](int, short) { order.push_back("host " + host.Take()); }, true);
  loop.Watch(device.r, POLLIN, [&](int, short) { order.push_back("device " + device.Take()); });
  loop.Watch(other.r, POLLIN, [&](int, short) { order.push_back("other " + other.Take()); });
  host.Put("1");
  other.Put("2");
  device.Put("3");
  loop.ProcessMessages();
  EXPECT_EQ(order, (std::vector<std::string>{"device 3", "other 2", "host 1"}));
}

TEST_F(LoopTest, ReadinessServedByANestedLoopIsNotDeliveredTwice) {
  Pipe p1, p2;
  int calls2 = 0;
  loop.Watch(p1.r, POLLIN, [&](int, short) {
    p1.Take();
    loop.ProcessMessages();  // serves p2 here
  });
  loop.Watch(p2.r, POLLIN, [&](int, short) {
    ++calls2;
    EXPECT_EQ(p2.Take(), "b");  // a second, stale delivery would find nothing
  });
  p1.Put("a");
  p2.Put("b");
  loop.ProcessMessages();
  EXPECT_EQ(calls2, 1);
}

TEST_F(LoopTest, ClosedDescriptorIsReportedOnceNotForever) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[1]);
  ::close(fds[0]);
  int calls = 0;
  loop.Watch(fds[0], POLLIN, [&](int, short revents) {
    EXPECT_TRUE(revents & POLLNVAL);
    ++calls;
  });
  loop.ProcessMessages();
  loop.ProcessMessages();
  EXPECT_EQ(calls, 1);
}

TEST_F(LoopTest, HandlerExceptionsPropagateOrGoToTheHook) {
  loop.Post([] { throw std::runtime_error("boom"); });
  EXPECT_THROW(loop.ProcessMessages(), std::runtime_error);
  EXPECT_EQ(loop.nesting(), 0);

  int caught = 0, after = 0;
  loop.OnHandlerException = [&](std::exception_ptr) { ++caught; };
  loop.Post([] { throw std::runtime_error("boom"); });
  loop.Post([&] { ++after; });
  loop.ProcessMessages();
  EXPECT_EQ(caught, 1);
  EXPECT_EQ(after, 1);
}

TEST_F(LoopTest, RunEndsOnQuit) {
  Timer t(loop);
  t.SetInterval(100);
  int ticks = 0;
  t.OnTimer = [&] {
    if (++ticks == 5) loop.Quit();
  };
  t.SetEnabled(true);
  loop.Run();
  EXPECT_EQ(ticks, 5);
  EXPECT_TRUE(loop.quit_requested());
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST(MessageLoopSystemClock, IdleWaitBlocksWithoutSpinning) {
  MessageLoop loop;
  Pipe p;
  loop.Watch(p.r, POLLIN, [](int, short) {});
  Timer far(loop);
  far.SetInterval(60'000);
  far.SetEnabled(true);
  int64_t t0 = loop.NowMs();
  double c0 = CpuSeconds();
  EXPECT_FALSE(loop.WaitAndProcess(300));
  double cpu = CpuSeconds() - c0;
  int64_t elapsed = loop.NowMs() - t0;
  EXPECT_GE(elapsed, 300);
  EXPECT_LT(cpu, 0.1) << "waiting burnt CPU";
}

// A host's request wakes the loop, its handler posts the serving, and the loop then waits for the
// next one: every look at the descriptors should either deliver something or end in a timer that
// fires. An empty look before each wait would double the system calls of every wake-up.
TEST(MessageLoopSystemClock, RunLooksAtDescriptorsOncePerWakeUp) {
  MessageLoop loop;
  Pipe p;
  bool outstanding = false;
  int fires = 0, reads = 0, served = 0;
  Timer peer(loop);  // the far end: a request whenever the last one was served
  peer.SetInterval(10);
  peer.OnTimer = [&] {
    ++fires;
    if (!outstanding) p.Put("r");
    outstanding = true;
  };
  peer.SetEnabled(true);
  loop.Watch(p.r, POLLIN, [&](int, short) {
    ++reads;
    EXPECT_EQ(p.Take(), "r");
    // A request served from a message, which posts its command's start in turn.
    loop.Post([&] {
      loop.Post([&] {
        outstanding = false;
        if (++served == 10) loop.Quit();
      });
    });
  });
  const uint64_t before = loop.descriptor_looks();
  loop.Run();
  EXPECT_EQ(served, 10);
  EXPECT_EQ(reads, 10);
  EXPECT_LE(loop.descriptor_looks() - before, static_cast<uint64_t>(fires + reads + 2));
}

TEST(MessageLoopSystemClock, AChainOfMessagesDoesNotHoldTheDescriptorsInRun) {
  MessageLoop loop;
  Pipe p;
  int steps = 0, steps_when_read = -1;
  std::function<void()> step = [&] {
    if (++steps == 2) p.Put("x");
    if (steps == 1000) loop.Quit();
    loop.Post(step);
  };
  loop.Watch(p.r, POLLIN, [&](int, short) {
    p.Take();
    steps_when_read = steps;
    loop.Quit();
  });
  loop.Post(step);
  loop.Run();
  EXPECT_GE(steps_when_read, 2);
  EXPECT_LT(steps_when_read, 10);
}

// Run finishes the pass a posted Quit came in: descriptors ready then are still served.
TEST(MessageLoopSystemClock, QuitFromAMessageEndsRunAfterThatPass) {
  MessageLoop loop;
  Pipe p;
  p.Put("x");
  std::vector<std::string> order;
  loop.Watch(p.r, POLLIN, [&](int, short) { order.push_back("fd:" + p.Take()); });
  loop.Post([&] {
    order.push_back("quit");
    loop.Quit();
  });
  loop.Run();
  EXPECT_EQ(order, (std::vector<std::string>{"quit", "fd:x"}));
}

// Idle messages (output that wakes another process) run once what was set going has run, but a
// chain of messages that keeps posting its next step holds them for one pass at most.
TEST(MessageLoopSystemClock, IdleMessagesRunAfterThePostedWorkAndAreNotHeldByAChain) {
  MessageLoop loop;
  std::vector<std::string> order;
  loop.Post([&] {
    order.push_back("serve");
    loop.PostWhenIdle([&] { order.push_back("reply"); });
    loop.Post([&] { order.push_back("start"); });
  });
  int steps = 0;
  std::function<void()> step = [&] {
    order.push_back("step");
    if (++steps < 4)
      loop.Post(step);
    else
      loop.Quit();
  };
  loop.Post([&] {
    loop.PostWhenIdle([&] { order.push_back("idle"); });
    loop.Post(step);
  });
  loop.Run();
  EXPECT_EQ(order, (std::vector<std::string>{"serve", "start", "step", "reply", "idle", "step",
                                             "step", "step"}));
}

TEST_F(LoopTest, IdleMessagesRunBeforeProcessMessagesAndWaitAndProcessReturn) {
  std::vector<std::string> order;
  loop.Post([&] { loop.PostWhenIdle([&] { order.push_back("a"); }); });
  loop.ProcessMessages();
  EXPECT_EQ(order, (std::vector<std::string>{"a"}));
  Pipe p;
  loop.Watch(p.r, POLLIN, [&](int, short) {
    p.Take();
    loop.PostWhenIdle([&] { order.push_back("b"); });
  });
  p.Put("x");
  EXPECT_TRUE(loop.WaitAndProcess(100));
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
}

TEST(MessageLoopSystemClock, SignalEndsAWaitEarly) {
  MessageLoop loop;
  struct sigaction sa {
  }, old{};
  sa.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  itimerval it{};
  it.it_value.tv_usec = 50'000;
  setitimer(ITIMER_REAL, &it, nullptr);
  int64_t t0 = loop.NowMs();
  EXPECT_FALSE(loop.WaitAndProcess(-1));
  EXPECT_LT(loop.NowMs() - t0, 4000);
  sigaction(SIGALRM, &old, nullptr);
}

TEST(MessageLoopSystemClock, RealTimerFiresAfterItsInterval) {
  MessageLoop loop;
  Timer t(loop);
  t.SetInterval(30);
  int fired = 0;
  t.OnTimer = [&] { ++fired; };
  int64_t t0 = loop.NowMs();
  t.SetEnabled(true);
  EXPECT_TRUE(loop.WaitAndProcess(5000));
  EXPECT_EQ(fired, 1);
  EXPECT_GE(loop.NowMs() - t0, 30);
}

}  // namespace
}  // namespace zb::platform
