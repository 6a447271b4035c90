// The PTP link at line speed: frames are handled as they arrive and replies leave at once, not
// one per 100 ms tick; a far end sending as fast as the line takes cannot grow the receive queue
// or keep a genuine data frame waiting behind heartbeats, repetitions and test frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "bacnet/link/data_link_ptp.h"
#include "tests/common/fast_clock.h"
#include "tests/common/ptp_peer.h"
#include "tests/common/pty.h"
#include "tests/common/run_task.h"

namespace zb::bacnet {
namespace {

namespace ptp = test::ptp;
constexpr int kPort = 58;

// --- The queue on its own: nothing takes entries, as while the link writes a long frame -------

size_t Housekeeping(const TPTPFrameReceiver& r) {
  return static_cast<size_t>(
      std::count_if(r.ReceiveQueue.begin(), r.ReceiveQueue.end(),
                    [](const auto& e) { return !TPTPFrameReceiver::CarriesState(e); }));
}

TEST(PTPReceiveQueue, FloodsStayWithinTheBoundAndDataStillGetsIn) {
  TPTPFrameReceiver r;
  size_t most = 0, most_housekeeping = 0;
  // 20 000 valid full-length frames of every kind, heartbeats between them.
  const uint8_t kinds[] = {ptp::kData0, ptp::kData1, ptp::kTestRequest, 0x16};
  for (int i = 0; i < 20000; ++i) {
    std::string data(kPTPMaxData, static_cast<char>(i));
    std::memcpy(data.data(), &i, sizeof i);
    r.ReceiveOctets(test::RefWireFrame(kinds[i % 4], data));
    r.ReceiveOctets(test::RefWireFrame(i % 7 ? ptp::kHeartbeatXOn : ptp::kHeartbeatXOff, ""));
    most = std::max(most, r.ReceiveQueue.size());
    most_housekeeping = std::max(most_housekeeping, Housekeeping(r));
  }
  EXPECT_EQ(most, TPTPFrameReceiver::kMaxQueued);
  EXPECT_EQ(most_housekeeping, TPTPFrameReceiver::kMaxHousekeeping);
  EXPECT_EQ(r.Discarded, 40000u - TPTPFrameReceiver::kMaxQueued);
  // Data-carrying frames pushed the others out; now full, the newest is left out (its sender
  // repeats it) until an entry is taken.
  EXPECT_EQ(Housekeeping(r), 0u);
  const std::string late = test::RefWireFrame(ptp::kData0, "late");
  r.ReceiveOctets(late);
  EXPECT_NE(r.ReceiveQueue.back().Data, "late");
  r.ReceiveQueue.pop_front();
  r.ReceiveOctets(late);
  EXPECT_EQ(r.ReceiveQueue.back().Data, "late");

  // A flood of heartbeats and test frames alone: data behind it waits for two entries at most.
  r.ReceiveQueue.clear();
  for (int i = 0; i < 20000; ++i) {
    r.ReceiveOctets(test::RefWireFrame(ptp::kHeartbeatXOn, ""));
    r.ReceiveOctets(test::RefWireFrame(ptp::kTestRequest, std::to_string(i)));
  }
  r.ReceiveOctets(test::RefWireFrame(ptp::kData1, "genuine"));
  ASSERT_EQ(r.ReceiveQueue.size(), TPTPFrameReceiver::kMaxHousekeeping + 1);
  EXPECT_EQ(r.ReceiveQueue.back().Data, "genuine");
  // The newest heartbeat and test frame are the ones kept.
  EXPECT_EQ(r.ReceiveQueue[1].FrameType, ptp::kTestRequest);
  EXPECT_EQ(r.ReceiveQueue[1].Data, "19999");
}

TEST(PTPReceiveQueue, RepetitionsWaitOnceAndOrderIsKept) {
  TPTPFrameReceiver r;
  for (int i = 0; i < 50; ++i) r.ReceiveOctets(test::RefWireFrame(ptp::kData0, "again"));
  // The frame and one repetition, whose acknowledgement tells the far end it was heard again.
  EXPECT_EQ(r.ReceiveQueue.size(), 2u);
  // Not a repetition: the same data after other frames is new data with the same content.
  r.ReceiveOctets(test::RefWireFrame(ptp::kData1, "other"));
  r.ReceiveOctets(test::RefWireFrame(ptp::kData0, "again"));
  r.ReceiveOctets(test::RefWireFrame(ptp::kDisconnectRequest, ""));
  std::vector<int> types;
  for (auto& e : r.ReceiveQueue) types.push_back(e.FrameType);
  EXPECT_EQ(types, (std::vector<int>{ptp::kData0, ptp::kData0, ptp::kData1, ptp::kData0,
                                     ptp::kDisconnectRequest}));
  // Invalid-frame markers count as housekeeping: a burst of noise leaves two.
  std::string bad = test::RefLogicalFrame(ptp::kData0, "bad");
  bad[7] ^= 0x01;
  for (int i = 0; i < 100; ++i) r.ReceiveOctets(bad);
  EXPECT_EQ(Housekeeping(r), 2u);
  EXPECT_EQ(r.ReceiveQueue.size(), 7u);
}

// --- The link's machines between ticks, without a line ---------------------------------------

bool Queue(TBACnetDataLinkPTP& link, const std::string& npdu) {
  auto f = std::make_unique<TBACnetFrame>();
  f->Length = static_cast<int32_t>(npdu.size());
  std::memcpy(f->Data, npdu.data(), npdu.size());
  return link.Send(*f);
}

TEST(PTPLinkEvents, FrameTakenWhileAFrameGoesOutIsStillHandled) {
  platform::MessageLoop loop;
  platform::ManualClock clock;
  clock.auto_advance = false;
  loop.SetClock(&clock);
  TBACnetDataLinkPTP link(loop);
  TPTPMachines& m = link.Machines();
  m.ConnectionState = csConnected;
  m.TransmitState = tsReady;
  m.ReceiveState = rsReady;
  std::vector<std::string> received, sent;
  link.OnReceive = [&](void*, const TBACnetFrame& f) {
    received.emplace_back(reinterpret_cast<const char*>(f.Data), static_cast<size_t>(f.Length));
  };
  // The far end's next frame starts while ours goes out.
  link.OnTrace = [&](void*, const std::string& t, int) {
    if (t.find("] Sending: ") != std::string::npos) {
      sent.push_back(t.substr(t.find("] Sending: ") + 11));
      link.Receiver().ReceiveOctet(0x55);
    }
  };
  ASSERT_TRUE(Queue(link, "down"));
  // The data frame arrives before the posted run has sent ours: both go in one run.
  link.Receiver().ReceiveOctets(test::RefWireFrame(ptp::kData0, "up"));
  EXPECT_EQ(received, std::vector<std::string>{"up"});
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].substr(0, 12), "[55][FF][02]");  // our Data0
  EXPECT_EQ(sent[1], "[55][FF][06][00][00][BB]");    // its acknowledgement
  EXPECT_EQ(m.TickCount, 0u);
  loop.SetClock(nullptr);
}

// --- The link on a pseudo-terminal against the scripted far end --------------------------------

class PTPLineSpeedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    pty.MapToPort(kPort);
    link.DirectConnect = true;
    link.SetComport(kPort);
    link.OnTrace = [this](void*, const std::string&, int) { Sample(); };
    link.OnReceive = [this](void*, const TBACnetFrame& f) {
      received.emplace_back(reinterpret_cast<const char*>(f.Data), static_cast<size_t>(f.Length));
    };
    ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
    ASSERT_TRUE(time.RunUntil([&] { return link.Machines().TransmitState == tsReady; }, 1000));
    // The far end starts its sequence bits when it reads the set-up frames.
    ASSERT_TRUE(time.RunUntil([&] { return peer.Last(ptp::kHeartbeatXOn) != nullptr; }, 1000));
  }
  void TearDown() override { test::RunTask(loop, link.Activate(false)); }

  // What the link holds while the far end floods it; frames wait only inside a run.
  void Sample() {
    most_queued = std::max(most_queued, link.Receiver().ReceiveQueue.size());
    most_input = std::max(most_input, link.Port().InputUsed());
  }
  // Writes as fast as the pseudo-terminal takes octets, the link reading between writes.
  void Flood(const std::string& octets) {
    size_t done = 0;
    while (done < octets.size()) {
      ssize_t n = ::write(pty.master(), octets.data() + done, octets.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      time.RunFor(1);
      Sample();
    }
  }
  int Acks(int seq) const { return peer.Count(seq ? ptp::kAck1XOn : ptp::kAck0XOn); }
  // Virtual milliseconds from the last octet of a new data frame to its acknowledgement.
  int64_t AcknowledgementDelay(const std::string& npdu) {
    const int seq = peer.tx_sequence;
    const int before = Acks(seq);
    peer.SendData(npdu);
    const int64_t sent = time.NowMs();
    if (!time.RunUntil([&] { return Acks(seq) > before; }, 20000)) return -1;
    return time.NowMs() - sent;
  }

  platform::MessageLoop loop;
  test::FastClock time{loop};
  test::PtyPair pty;
  test::PTPPeer peer{loop, pty.master()};
  TBACnetDataLinkPTP link{loop};
  std::vector<std::string> received;
  size_t most_queued = 0;
  int most_input = 0;
};

TEST_F(PTPLineSpeedTest, RepliesAndNextFramesLeaveBetweenTicks) {
  // Both ways stop-and-wait, 40 NPDUs each: at one frame a tick this took 80 ticks at least.
  const uint32_t ticks = link.Machines().TickCount;
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(Queue(link, "down-" + std::to_string(i)));
  for (int i = 0; i < 40; ++i) ASSERT_GE(AcknowledgementDelay("up-" + std::to_string(i)), 0);
  ASSERT_TRUE(time.RunUntil([&] { return peer.npdus.size() == 40; }, 5000));
  EXPECT_EQ(received.size(), 40u);
  EXPECT_EQ(peer.duplicates, 0);
  EXPECT_LT(link.Machines().TickCount - ticks, 20u);
  EXPECT_EQ(peer.Count(ptp::kData0) + peer.Count(ptp::kData1), 40);
}

TEST_F(PTPLineSpeedTest, FloodOfValidFramesThenDataAcknowledgedWithinASecond) {
  // Full-length data (each new, so each handed up and acknowledged), repetitions of one frame
  // and test requests that each want a full-length answer, back to back.
  std::string flood;
  const std::string big(kPTPMaxData, '\x10');  // escaped: twice as long on the line
  std::string last;
  for (int i = 0; i < 600; ++i) {
    std::string data = big;
    std::memcpy(data.data(), &i, sizeof i);
    switch (i % 3) {
      case 0:
        last = test::RefWireFrame(peer.tx_sequence ? ptp::kData1 : ptp::kData0, data);
        peer.tx_sequence ^= 1;
        flood += last;
        break;
      case 1:
        flood += last;  // as if our acknowledgement had not arrived
        break;
      default:
        flood += test::RefWireFrame(ptp::kTestRequest, data);
    }
  }
  Flood(flood);
  const int64_t delay = AcknowledgementDelay("genuine");
  EXPECT_GE(delay, 0);
  EXPECT_LE(delay, 1000);
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back(), "genuine");
  EXPECT_LE(most_queued, TPTPFrameReceiver::kMaxQueued);
  EXPECT_LE(most_input, link.Port().InSize);
  EXPECT_EQ(link.Machines().ConnectionState, csConnected);
}

TEST_F(PTPLineSpeedTest, FloodOfHeartbeatsThenDataAcknowledgedWithinASecond) {
  std::string flood;
  for (int i = 0; i < 20000; ++i) flood += test::RefWireFrame(ptp::kHeartbeatXOn, "");
  Flood(flood);
  const int64_t delay = AcknowledgementDelay("genuine");
  EXPECT_GE(delay, 0);
  EXPECT_LE(delay, 1000);
  EXPECT_EQ(received, std::vector<std::string>{"genuine"});
  EXPECT_LE(most_queued, TPTPFrameReceiver::kMaxQueued);
  EXPECT_FALSE(link.Machines().RemoteBusy);
  // The heartbeats were handled as they came: nothing is left over for later ticks.
  EXPECT_TRUE(link.Receiver().ReceiveQueue.empty());
  EXPECT_FALSE(link.Machines().ReceivedValidFrame);
}

}  // namespace
}  // namespace zb::bacnet
