#include "bacnet/link/serial_port.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/common/fast_clock.h"
#include "tests/common/pty.h"
#include "tests/common/run_task.h"

namespace zb::bacnet {
namespace {

constexpr int kPort = 63;

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    pty.MapToPort(kPort);
    port.ComNumber = kPort;
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
  }
  void FarWrite(const std::string& s) {
    ASSERT_EQ(::write(pty.master(), s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  std::string FarRead() {
    std::string got;
    char buf[512];
    for (int quiet = 0; quiet < 20;) {
      ssize_t n = ::read(pty.master(), buf, sizeof buf);
      if (n > 0) {
        got.append(buf, static_cast<size_t>(n));
        quiet = 0;
      } else {
        time.RunFor(1);
        ++quiet;
      }
    }
    return got;
  }

  platform::MessageLoop loop;
  test::FastClock time{loop};
  test::PtyPair pty;
  TSerialPort port{loop};
};

TEST(SerialPortClosed, OpenFailuresAndClosedBehaviour) {
  platform::MessageLoop loop;
  TSerialPort port(loop);
  EXPECT_EQ(port.Baud(), 9600);
  EXPECT_EQ(port.InSize, 4096);
  EXPECT_EQ(port.OutSize, 4096);
  EXPECT_EQ(port.SWFlowOptions, swfNone);
  port.ComNumber = 0;
  EXPECT_THROW(port.SetOpen(true), TSerialPortError);
  ::setenv("ZELBACNET_COM64", "/nonexistent/tty", 1);
  port.ComNumber = 64;
  try {
    port.SetOpen(true);
    FAIL();
  } catch (const TSerialPortError& e) {
    EXPECT_NE(e.Message.find("/nonexistent/tty"), std::string::npos);
  }
  port.SetOpen(false);
  port.SetOpen(false);
  port.WriteString("ignored");
  EXPECT_EQ(port.OutputUsed(), 0);
  EXPECT_EQ(port.InputUsed(), 0);
  EXPECT_EQ(port.ReadOctet(), 0);
  port.ProcessEvents();
  EXPECT_FALSE(test::RunTask(loop, port.WaitForString("OK", 3)));
}

TEST_F(SerialPortTest, WritesReadsAndCounts) {
  port.WriteOctet('A');
  port.WriteString(std::string("B\0C\x11\x13", 5));
  ASSERT_TRUE(time.RunUntil([&] { return port.OutputUsed() == 0; }, 100));
  EXPECT_EQ(FarRead(), std::string("AB\0C\x11\x13", 6));

  int avail_calls = 0, last_count = 0;
  port.OnTriggerAvail = [&](void* sender, int count) {
    EXPECT_EQ(sender, &port);
    ++avail_calls;
    last_count = count;
  };
  FarWrite("xyz");
  ASSERT_TRUE(time.RunUntil([&] { return avail_calls > 0; }, 100));
  EXPECT_EQ(last_count, port.InputUsed());
  time.RunUntil([&] { return port.InputUsed() == 3; }, 100);
  EXPECT_EQ(port.ReadOctet(), 'x');
  EXPECT_EQ(port.ReadOctet(), 'y');
  EXPECT_EQ(port.InputUsed(), 1);
  port.FlushInput();
  EXPECT_EQ(port.InputUsed(), 0);
  EXPECT_EQ(port.ReadOctet(), 0);
}

TEST_F(SerialPortTest, ThresholdHoldsBackTheEvent) {
  port.SetReceivedDataThreshold(3);
  int calls = 0;
  port.OnTriggerAvail = [&](void*, int count) {
    ++calls;
    EXPECT_GE(count, 3);
  };
  FarWrite("ab");
  time.RunFor(50);
  EXPECT_EQ(calls, 0);
  FarWrite("c");
  ASSERT_TRUE(time.RunUntil([&] { return calls == 1; }, 100));
  // Kept across close and open.
  port.SetOpen(false);
  port.SetOpen(true);
  EXPECT_EQ(port.ReceivedDataThreshold(), 3);
}

TEST_F(SerialPortTest, DataTriggersMatchAcrossReads) {
  std::vector<int> fired;
  port.OnTriggerData = [&](void*, int h) { fired.push_back(h); };
  int exact = port.AddDataTrigger("BACnet\r", false);
  int loose = port.AddDataTrigger("ring", true);
  EXPECT_NE(exact, loose);
  FarWrite("xxBAC");
  time.RunFor(20);
  FarWrite("net\r..bacnet\r..RING");
  ASSERT_TRUE(time.RunUntil([&] { return fired.size() == 2; }, 100));
  EXPECT_EQ(fired, (std::vector<int>{exact, loose}));
  FarWrite("BACnet\rBACnet\r");
  ASSERT_TRUE(time.RunUntil([&] { return fired.size() == 4; }, 100));
  port.RemoveAllTriggers();
  FarWrite("BACnet\r");
  time.RunFor(50);
  EXPECT_EQ(fired.size(), 4u);
}

TEST_F(SerialPortTest, WaitForStringsWithTimeOuts) {
  FarWrite("ATV1Q0\r\r\nok\r\n");
  EXPECT_TRUE(test::RunTask(loop, port.WaitForString("OK", 54)));
  int64_t t0 = time.NowMs();
  EXPECT_FALSE(test::RunTask(loop, port.WaitForString("OK", 54)));
  EXPECT_GE(time.NowMs() - t0, 54 * 55);
  EXPECT_LT(time.NowMs() - t0, 54 * 55 + 100);

  FarWrite("\r\nNO CARRIER\r\n");
  EXPECT_EQ(test::RunTask(loop, port.WaitForAnyString(
                                    "CONNECT^BUSY^ERROR^NO CARRIER^NO DIALTONE^OK^RING", '^', 100)),
            4);
  EXPECT_EQ(port.LastMatched(), "NO CARRIER");
  FarWrite("\r\nconnect 9600\r\n");
  EXPECT_EQ(test::RunTask(loop, port.WaitForAnyString("CONNECT^BUSY", '^', 100)), 1);
  t0 = time.NowMs();
  EXPECT_EQ(test::RunTask(loop, port.WaitForAnyString("CONNECT^BUSY", '^', 20)), 0);
  EXPECT_GE(time.NowMs() - t0, 20 * 55);
  EXPECT_EQ(port.LastMatched(), "");

  // Arrives while waiting, in pieces.
  loop.Post([&] { FarWrite("BU"); });
  bool second = false;
  platform::Timer later(loop);
  later.SetInterval(300);
  later.OnTimer = [&] {
    later.SetEnabled(false);
    second = true;
    FarWrite("SY\r\n");
  };
  later.SetEnabled(true);
  EXPECT_EQ(test::RunTask(loop, port.WaitForAnyString("CONNECT^BUSY", '^', 100)), 2);
  EXPECT_TRUE(second);
}

TEST_F(SerialPortTest, EventsOneAtATime) {
  int depth = 0, max_depth = 0, calls = 0;
  std::string got;
  port.OnTriggerAvail = [&](void*, int count) {
    ++calls;
    max_depth = std::max(max_depth, ++depth);
    for (int i = 0; i < count; ++i) got += static_cast<char>(port.ReadOctet());
    if (calls == 1) {
      // More arrives while this handler waits; it must not be delivered inside it.
      FarWrite("later");
      time.RunFor(30);
      port.ProcessEvents();
    }
    --depth;
  };
  FarWrite("first");
  ASSERT_TRUE(time.RunUntil([&] { return got == "firstlater"; }, 200));
  EXPECT_EQ(max_depth, 1);
}

TEST_F(SerialPortTest, ThrowingHandlerDoesNotBlockLaterEvents) {
  int calls = 0;
  port.OnTriggerAvail = [&](void*, int count) {
    ++calls;
    for (int i = 0; i < count; ++i) port.ReadOctet();
    if (calls == 1) throw std::runtime_error("handler");
  };
  FarWrite("one");
  EXPECT_THROW(time.RunUntil([&] { return calls == 1; }, 100), std::runtime_error);
  FarWrite("two");
  EXPECT_TRUE(time.RunUntil([&] { return calls == 2; }, 100));
}

TEST_F(SerialPortTest, LineErrorTriggerFiresOnlyWhenArmed) {
  // Pseudo-terminals keep no error counts, so only the trigger bookkeeping is visible here.
  int h = port.AddLineErrorTrigger();
  EXPECT_GT(h, 0);
  port.ArmLineErrorTrigger(h, 15, true);
  int fired = 0;
  port.OnTriggerLineError = [&](void*, int, int) { ++fired; };
  FarWrite("data");
  time.RunFor(30);
  EXPECT_EQ(fired, 0);
}

TEST_F(SerialPortTest, LargeOutputIsBufferedNotLost) {
  std::string big(20000, 'q');
  big[0] = 'S';
  big.back() = 'E';
  port.WriteString(big);
  EXPECT_GT(port.OutputUsed(), 0);
  std::string got;
  char buf[4096];
  time.RunUntil(
      [&] {
        ssize_t n;
        while ((n = ::read(pty.master(), buf, sizeof buf)) > 0)
          got.append(buf, static_cast<size_t>(n));
        return got.size() == big.size();
      },
      2000);
  EXPECT_EQ(got, big);
  EXPECT_EQ(port.OutputUsed(), 0);
}

TEST_F(SerialPortTest, InputBeyondInSizeWaitsInTheDevice) {
  port.InSize = 64;
  std::string big(1000, 'i');
  FarWrite(big);
  time.RunFor(50);
  EXPECT_LE(port.InputUsed(), 64);
  std::string got;
  time.RunUntil(
      [&] {
        while (port.InputUsed() > 0) got += static_cast<char>(port.ReadOctet());
        return got.size() == big.size();
      },
      1000);
  EXPECT_EQ(got.size(), big.size());
}

TEST(SerialPortHangUp, DeadLineGoesQuietUntilReopened) {
  platform::MessageLoop loop;  // system clock: a spinning watch would keep every wait busy
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  pty.MapToPort(kPort);
  TSerialPort port(loop);
  port.ComNumber = kPort;
  port.SetOpen(true);
  pty.CloseMaster();
  port.WriteString("into the void");
  int dispatched = 0;
  for (int i = 0; i < 20; ++i) dispatched += loop.WaitAndProcess(5);
  EXPECT_LT(dispatched, 5);
  EXPECT_EQ(port.OutputUsed(), 0);
  port.SetOpen(false);
}

}  // namespace
}  // namespace zb::bacnet
