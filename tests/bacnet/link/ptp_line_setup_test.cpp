// Opening and closing the PTP line: command strings on a direct line, and a Hayes modem
// (emulated on a pseudo-terminal, a PTP peer behind it) that is initialised, dials and hangs up.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "bacnet/link/data_link_ptp.h"
#include "tests/common/fast_clock.h"
#include "tests/common/modem_emulator.h"
#include "tests/common/ptp_peer.h"
#include "tests/common/pty.h"
#include "tests/common/run_task.h"

namespace zb::bacnet {
namespace {

namespace ptp = test::ptp;
constexpr int kPort = 59;

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    pty.MapToPort(kPort);
    link.SetComport(kPort);
    link.OnTrace = [this](void*, const std::string& t, int) {
      size_t p = t.find("] ");
      texts.push_back(p == std::string::npos ? t : t.substr(p + 2));
    };
  }
  bool Traced(const std::string& t) const {
    return std::find(texts.begin(), texts.end(), t) != texts.end();
  }
  int Index(const std::string& t) const {
    auto it = std::find(texts.begin(), texts.end(), t);
    return it == texts.end() ? -1 : static_cast<int>(it - texts.begin());
  }
  bool Send(const std::string& npdu) {
    auto f = std::make_unique<TBACnetFrame>();
    f->Length = static_cast<int32_t>(npdu.size());
    std::memcpy(f->Data, npdu.data(), npdu.size());
    return link.Send(*f);
  }

  platform::MessageLoop loop;
  test::FastClock time{loop};
  test::PtyPair pty;
  platform::ModemLineEmulations lines;
  TBACnetDataLinkPTP link{loop, &lines};
  std::vector<std::string> texts;
};

// The far end of a direct line: a PTP peer that also notes when each octet arrived.
class DirectLineTest : public LineTest {
 protected:
  void SetUp() override {
    LineTest::SetUp();
    link.DirectConnect = true;
    watch = loop.Watch(pty.master(), POLLIN, [this](int, short) {
      char buf[512];
      ssize_t n;
      while ((n = ::read(pty.master(), buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; ++i) arrivals.push_back({time.NowMs(), buf[i]});
        peer.Receive(std::string_view(buf, static_cast<size_t>(n)));
      }
    });
  }
  void TearDown() override { loop.Unwatch(watch); }
  struct Arrival {
    int64_t at;
    char octet;
  };
  std::string ArrivedText() const {
    std::string s;
    for (auto& a : arrivals) s += a.octet;
    return s;
  }

  test::PTPPeer peer{[this](const std::string& o) {
    ssize_t n = ::write(pty.master(), o.data(), o.size());
    (void)n;
  }};
  std::vector<Arrival> arrivals;
  int watch = 0;
};

TEST_F(DirectLineTest, ConnectStringConventions) {
  link.ConnectString = "#1B$^M";
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  ASSERT_GE(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].octet, '\x1B');
  EXPECT_EQ(arrivals[1].octet, '\r');
  // 10 ms after the first octet, then 5 pauses of 55 ms, then 10 ms. The low bound leaves room
  // for a busy machine to read the first octet late; four pauses would still fall below it.
  int64_t gap = arrivals[1].at - arrivals[0].at;
  EXPECT_GE(gap, 250);
  EXPECT_LT(gap, 360);
  EXPECT_TRUE(Traced("Result=TRUE"));
  EXPECT_TRUE(Traced("ConState: Connected"));

  time.RunFor(300);
  size_t before = peer.text.size();
  test::RunTask(loop, link.SendCommandString("#G1^a^#1#ff#0^"));
  time.RunFor(100);
  EXPECT_EQ(peer.text.substr(before), std::string("#G1\x01^#1\xFF#0^", 11));
}

TEST_F(DirectLineTest, DisconnectStringBeforeTheExchange) {
  link.DisconnectString = "BYE^M";
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  time.RunFor(300);
  size_t before = peer.raw.size();
  EXPECT_FALSE(test::RunTask(loop, link.Activate(false)));
  std::string got = peer.raw.substr(before);
  size_t bye = got.find("BYE\r");
  ASSERT_NE(bye, std::string::npos);
  EXPECT_EQ(peer.Count(ptp::kDisconnectRequest), 1);
  EXPECT_LT(bye, got.find(test::RefWireFrame(ptp::kDisconnectRequest, "")));
  EXPECT_TRUE(Traced("DisconnectResponseReceived(CG)"));
}

TEST_F(DirectLineTest, ClosingWhileDisconnectedSendsNothingAndReopenConnects) {
  peer.answer_trigger = false;
  EXPECT_FALSE(test::RunTask(loop, link.Activate(true)));
  EXPECT_EQ(peer.triggers, 4);
  arrivals.clear();
  EXPECT_FALSE(test::RunTask(loop, link.Activate(false)));
  time.RunFor(300);
  EXPECT_TRUE(arrivals.empty());
  // A second open re-opens the port with fresh triggers and calls again.
  peer.answer_trigger = true;
  texts.clear();
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "ConnectOutbound(CD)"), 1);
  EXPECT_EQ(peer.triggers, 5);
  // The peer's trigger is seen once per occurrence, not once per earlier registration.
  link.Machines().InboundTriggered = false;
  peer.SendTrigger();
  time.RunUntil([&] { return link.Machines().InboundTriggered; }, 500);
  EXPECT_TRUE(link.Machines().InboundTriggered);
}

class ModemTest : public LineTest {
 protected:
  void SetUp() override {
    LineTest::SetUp();
    link.DirectConnect = false;
    link.PhoneNumber = "5551234";
  }
  test::ModemEmulator modem{loop, pty.master(), pty.slave_path(), &lines};
};

TEST_F(ModemTest, InitDialConnectAndCarryData) {
  link.ConnectString = "LOGIN^M";
  modem.peer.password = "pw";
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  EXPECT_EQ(modem.commands, (std::vector<std::string>{"ATV1Q0&C1&D2", "ATV1Q0", "ATDT5551234"}));
  EXPECT_EQ(modem.dialled, "5551234");
  // DTR dropped and raised before the dial.
  auto& d = modem.dtr_changes;
  const std::vector<bool> pulse = {false, true};
  EXPECT_NE(std::search(d.begin(), d.end(), pulse.begin(), pulse.end()), d.end());
  std::vector<std::string> order = {"Modem Init: ATV1Q0&C1&D2",
                                    "Sent: ATV1Q0",
                                    "Sent: ATDT5551234",
                                    "Modem Connected",
                                    "Connected",
                                    "Connect String: LOGIN^M",
                                    "Result=TRUE",
                                    "ConnectOutbound(CD)",
                                    "ConState: Connected"};
  int last = -1;
  for (auto& t : order) {
    int i = Index(t);
    EXPECT_GT(i, last) << t;
    last = i;
  }
  EXPECT_NE(modem.peer.text.find("LOGIN\r"), std::string::npos);
  // Modem responses never reached the frame receiver as frames.
  EXPECT_FALSE(Traced("InvalidFrame"));

  ASSERT_TRUE(Send("over the phone"));
  ASSERT_TRUE(time.RunUntil([&] { return modem.peer.npdus.size() == 1; }, 2000));
  EXPECT_EQ(modem.peer.npdus[0], "over the phone");
}

TEST_F(ModemTest, CustomInitString) {
  link.ModemInit = "ATZ";
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  EXPECT_EQ(modem.commands.front(), "ATZ");
  EXPECT_TRUE(Traced("Modem Init: ATZ"));
}

TEST_F(ModemTest, DialFailuresCloseThePort) {
  struct Case {
    test::ModemEmulator::Dial dial;
    const char* word;
  };
  for (Case c : {Case{test::ModemEmulator::Dial::kNoCarrier, "NO CARRIER"},
                 Case{test::ModemEmulator::Dial::kBusy, "BUSY"},
                 Case{test::ModemEmulator::Dial::kNoDialtone, "NO DIALTONE"}}) {
    texts.clear();
    modem.dial_result = c.dial;
    EXPECT_FALSE(test::RunTask(loop, link.Activate(true))) << c.word;
    EXPECT_TRUE(Traced(std::string("Modem Response: ") + c.word)) << c.word;
    EXPECT_GT(Index("Close Port"), Index(std::string("Modem Response: ") + c.word));
    EXPECT_FALSE(Traced("Result=TRUE"));
    EXPECT_FALSE(link.Port().Open());
    EXPECT_FALSE(link.Active);
  }
}

TEST_F(ModemTest, SilentModemTimesOut) {
  modem.responding = false;
  int64_t t0 = time.NowMs();
  EXPECT_FALSE(test::RunTask(loop, link.Activate(true)));
  EXPECT_TRUE(Traced("Modem not responding"));
  EXPECT_TRUE(Traced("Close Port"));
  EXPECT_FALSE(Traced("Sent: ATDT5551234"));
  // Init pause, the DTR pulse and about 3 s of waiting for OK.
  EXPECT_GE(time.NowMs() - t0, 54 * 55);
  EXPECT_LT(time.NowMs() - t0, 54 * 55 + 3000);
}

TEST_F(ModemTest, NoAnswerToTheDialTimesOutAfterNinetySeconds) {
  modem.dial_result = test::ModemEmulator::Dial::kSilent;
  time.step_ms = 5;
  int64_t t0 = time.NowMs();
  EXPECT_FALSE(test::RunTask(loop, link.Activate(true)));
  EXPECT_GE(time.NowMs() - t0, 1620 * 55);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Modem not responding"), 1);
  EXPECT_TRUE(Traced("Sent: ATDT5551234"));
}

TEST_F(ModemTest, NoPhoneNumberNoLine) {
  link.PhoneNumber.clear();
  EXPECT_FALSE(test::RunTask(loop, link.Activate(true)));
  EXPECT_TRUE(Traced("Close Port"));
  EXPECT_TRUE(modem.commands.empty());
}

TEST_F(ModemTest, CloseHangsUpThenDisconnects) {
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  EXPECT_FALSE(test::RunTask(loop, link.Activate(false)));
  EXPECT_TRUE(Traced("Hangup 1"));
  EXPECT_FALSE(Traced("Hangup 2"));
  EXPECT_FALSE(modem.carrier());
  EXPECT_EQ(modem.commands.back(), "ATH");
  // The call is gone before the exchange: the peer cannot answer (the modem, back in command
  // mode, may echo the request, which then counts as the peer's).
  EXPECT_TRUE(Traced("NetworkDisconnect(CC)"));
  EXPECT_EQ(modem.peer.Count(ptp::kDisconnectRequest), 0);
  EXPECT_EQ(link.Machines().ConnectionState, csDisconnected);
  EXPECT_FALSE(Traced("CarrierLost(CC)"));
}

TEST_F(ModemTest, StubbornModemGetsThreeHangups) {
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  modem.honour_hangup = false;
  EXPECT_FALSE(test::RunTask(loop, link.Activate(false)));
  EXPECT_TRUE(Traced("Hangup 1"));
  EXPECT_TRUE(Traced("Hangup 2"));
  EXPECT_TRUE(Traced("Hangup 3"));
  // Close goes on with the exchange, which the peer still hears.
  EXPECT_TRUE(Traced("DisconnectResponseReceived(CG)"));
}

TEST_F(ModemTest, CarrierLossEndsTheConnection) {
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  time.RunFor(500);
  modem.DropCarrier();
  // Back in command mode the modem echoes our heartbeats, which would keep the connection
  // alive by inactivity rules alone; the lost carrier ends it.
  ASSERT_TRUE(
      time.RunUntil([&] { return link.Machines().ConnectionState == csDisconnected; }, 1000));
  EXPECT_TRUE(Traced("CarrierLost(CC)"));
  EXPECT_FALSE(link.Port().CarrierDetect());
}

TEST_F(ModemTest, CarrierLineNeverOnDoesNotDropTheCall) {
  // A cable without the carrier line: DCD reads off all along.
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  lines.Set(pty.slave_path(), nullptr);
  struct Off : platform::ModemLineEmulation {
    void SetDTR(bool) override {}
    void SetRTS(bool) override {}
    bool CarrierDetect() override { return false; }
  } off;
  // Re-open with DCD off from the start.
  EXPECT_FALSE(test::RunTask(loop, link.Activate(false)));
  lines.Set(pty.slave_path(), &off);
  modem.dial_result = test::ModemEmulator::Dial::kConnect;
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  time.RunFor(2000);
  EXPECT_EQ(link.Machines().ConnectionState, csConnected);
  EXPECT_FALSE(Traced("CarrierLost(CC)"));
  lines.Set(pty.slave_path(), nullptr);
}

}  // namespace
}  // namespace zb::bacnet

namespace zb::bacnet {
namespace {

// The dial waits without nesting the loop: other timers run at the outermost level meanwhile.
TEST_F(ModemTest, ADialOnASilentLineSuspendsAndOtherWorkRunsMeanwhile) {
  modem.dial_result = test::ModemEmulator::Dial::kSilent;
  time.step_ms = 5;
  int other_ticks = 0;
  int deepest = 0;
  platform::Timer other(loop);
  other.SetInterval(100);
  other.OnTimer = [&] {
    ++other_ticks;
    deepest = std::max(deepest, loop.nesting());
  };
  other.SetEnabled(true);
  platform::Task<bool> open = link.Activate(true);
  open.Start();
  EXPECT_FALSE(open.Done());
  EXPECT_EQ(loop.nesting(), 0);
  ASSERT_TRUE(time.RunUntil([&] { return open.Done(); }, 200'000));
  EXPECT_FALSE(link.Active);
  EXPECT_TRUE(Traced("Modem not responding"));
  // About 90 s of dialling: the other timer fired all along, never inside a nested loop.
  EXPECT_GE(other_ticks, 800);
  EXPECT_EQ(deepest, 1);
}

TEST_F(ModemTest, ASetUpDestroyedMidDialLeavesTheLinkUsable) {
  modem.dial_result = test::ModemEmulator::Dial::kSilent;
  platform::Task<bool> open = link.Activate(true);
  open.Start();
  ASSERT_TRUE(time.RunUntil([&] { return Traced("Sent: ATDT5551234"); }, 20'000));
  open.Reset();  // the owner went away mid-dial
  time.RunFor(2000);
  EXPECT_FALSE(Traced("Modem not responding"));
  // The next set-up runs from the start and the frame receiver is attached again.
  modem.dial_result = test::ModemEmulator::Dial::kConnect;
  texts.clear();
  EXPECT_TRUE(test::RunTask(loop, link.Activate(true)));
  EXPECT_TRUE(Traced("ConState: Connected"));
}

TEST_F(ModemTest, AHangUpDestroyedMidwayLeavesNothingRunning) {
  ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
  platform::Task<bool> close = link.Activate(false);
  close.Start();
  ASSERT_TRUE(time.RunUntil([&] { return Traced("Hangup 1"); }, 5000));
  close.Reset();
  time.RunFor(3000);
  EXPECT_FALSE(Traced("Hangup 2"));
  EXPECT_EQ(loop.nesting(), 0);
}

}  // namespace
}  // namespace zb::bacnet
