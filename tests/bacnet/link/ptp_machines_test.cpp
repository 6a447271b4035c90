// The three PTP machines driven tick by tick against a fake line; the peer's frames are built
// by the reference encoder and pass through the real frame receiver.
#include "bacnet/link/ptp_machines.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "bacnet/link/transmit_queue.h"
#include "tests/common/ptp_peer.h"

namespace zb::bacnet {
namespace {

namespace ptp = test::ptp;

struct Sent {
  int type;
  std::string data;
  uint32_t tick;
  bool operator==(const Sent& o) const { return type == o.type && data == o.data; }
};

class FakeLine : public TPTPMachineActions {
 public:
  TPTPMachines* m = nullptr;
  std::vector<Sent> sent;
  std::vector<uint32_t> triggers;
  std::vector<std::string> delivered;
  std::vector<std::string> traces;
  TTransmitQueue queue;
  std::string password = "pw";

  void SendFrame(uint8_t type, const std::string& data) override {
    sent.push_back({type, data, m->TickCount});
    m->HeartbeatTimer = 0;  // the link restarts the count after every frame it writes
  }
  void WriteTrigger() override { triggers.push_back(m->TickCount); }
  void DeliverFrame(const std::string& data) override { delivered.push_back(data); }
  void Trace(const std::string& text) override { traces.push_back(text); }
  bool TransmitQueueEmpty() override { return queue.Empty(); }
  bool TakeTransmitEntry(std::string& data) override {
    TTransmitQueueEntry e;
    if (!queue.TakeNext(e)) return false;
    data = e.Data;
    return true;
  }
  std::string ConnectPassword() override { return password; }
};

class PTPMachinesTest : public ::testing::Test {
 protected:
  PTPMachinesTest() {
    line.m = &m;
    rx.OnFrameStart = [this] { m.ClearReceivedFrame(); };
  }

  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) m.Tick(rx);
  }
  void Peer(uint8_t type, std::string_view data = {}) {
    rx.ReceiveOctets(test::RefWireFrame(type, data));
  }
  std::vector<std::string> Traces() { return std::exchange(line.traces, {}); }
  std::vector<Sent> SentFrames() { return std::exchange(line.sent, {}); }
  bool Traced(const std::string& t) const {
    return std::find(line.traces.begin(), line.traces.end(), t) != line.traces.end();
  }
  void Queue(const std::string& data, int priority = 0) {
    ASSERT_TRUE(line.queue.Add(TTransmitQueueEntry{"", data, priority}));
  }
  // Calling side: trigger out, ConnectRequest in, then the transmission machine ready.
  void Connect() {
    m.OutboundRequested = true;
    Tick();
    Peer(ptp::kConnectRequest);
    Tick();
    ASSERT_EQ(m.ConnectionState, csConnected);
    Tick();
    ASSERT_EQ(m.TransmitState, tsReady);
    ASSERT_EQ(m.ReceiveState, rsReady);
    Traces();
    SentFrames();
  }

  FakeLine line;
  TPTPMachines m{line};
  TPTPFrameReceiver rx;
};

TEST_F(PTPMachinesTest, OutboundConnectAnsweredWithPassword) {
  Tick();
  EXPECT_EQ(Traces(), std::vector<std::string>{"Lost"});
  m.OutboundRequested = true;
  Tick();
  EXPECT_EQ(Traces(), std::vector<std::string>{"ConnectOutbound(CD)"});
  EXPECT_EQ(m.ConnectionState, csOutbound);
  EXPECT_FALSE(m.OutboundRequested);
  EXPECT_EQ(line.triggers.size(), 1u);
  Peer(ptp::kConnectRequest);
  Tick();
  EXPECT_EQ(Traces(), (std::vector<std::string>{
                          "ValidFrame: ConnectRequest", "ConnectRequestReceived(CO)",
                          "ConnectionEstablishedXOn(TI)", "ConnectionEstablished(RI)"}));
  EXPECT_EQ(SentFrames(),
            (std::vector<Sent>{{ptp::kConnectResponse, "pw", 0}, {ptp::kHeartbeatXOn, "", 0}}));
  Tick();
  EXPECT_EQ(Traces(), std::vector<std::string>{"PeerReceiverReady(TB)"});
}

TEST_F(PTPMachinesTest, OutboundGivesUpAfterThreeRepetitions) {
  m.OutboundRequested = true;
  Tick();
  Tick(199);
  EXPECT_EQ(m.ConnectionState, csOutbound);
  Tick();
  EXPECT_EQ(m.ConnectionState, csDisconnected);
  // The trigger at the request and 5 s apart after it: ticks 1, 51, 101, 151.
  EXPECT_EQ(line.triggers, (std::vector<uint32_t>{1, 51, 101, 151}));
  auto t = Traces();
  EXPECT_EQ(std::count(t.begin(), t.end(), "ConnectRequestTimeout(CO)"), 3);
  EXPECT_EQ(t.back(), "ConnectRequestFailure(CO)");
  EXPECT_TRUE(line.sent.empty());
}

TEST_F(PTPMachinesTest, InboundConnectAndItsRepetitions) {
  m.InboundTriggered = true;
  Tick();
  EXPECT_EQ(Traces(), std::vector<std::string>{"ConnectInbound(CD)"});
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kConnectRequest, "", 0}}));
  Tick(50);
  EXPECT_TRUE(Traced("ConnectResponseTimeout(CI)"));
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kConnectRequest, "pw", 0}}));
  Peer(ptp::kConnectResponse, "whatever");
  Tick();
  EXPECT_EQ(m.ConnectionState, csConnected);
  EXPECT_TRUE(Traced("ValidConnectResponseReceived(CI)"));

  // Failing side: four requests, then back to disconnected.
  FakeLine line2;
  TPTPMachines m2{line2};
  line2.m = &m2;
  TPTPFrameReceiver rx2;
  m2.InboundTriggered = true;
  for (int i = 0; i < 201; ++i) m2.Tick(rx2);
  EXPECT_EQ(m2.ConnectionState, csDisconnected);
  EXPECT_EQ(line2.sent.size(), 4u);
  EXPECT_EQ(line2.traces.back(), "ConnectResponseFailure(CI)");
}

TEST_F(PTPMachinesTest, InboundRefusedByDisconnectRequest) {
  m.InboundTriggered = true;
  Tick();
  SentFrames();
  Peer(ptp::kDisconnectRequest);
  Tick();
  EXPECT_EQ(m.ConnectionState, csDisconnected);
  EXPECT_TRUE(Traced("DisconnectRequestReceived(CI)"));
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kDisconnectResponse, "", 0}}));
}

TEST_F(PTPMachinesTest, DataHandedUpOnceAndAcknowledgedBySequence) {
  Connect();
  Peer(ptp::kData0, "one");
  Tick();
  EXPECT_EQ(Traces(),
            (std::vector<std::string>{"ValidFrame: Data0", "DataReceived(RR)", "NewData0(RD)"}));
  Peer(ptp::kData0, "one");  // the peer missed our acknowledgement
  Tick();
  EXPECT_TRUE(Traced("Duplicate0(RD)"));
  Traces();
  Peer(ptp::kData1, "two");
  Peer(ptp::kData1, "two");
  Tick();
  EXPECT_TRUE(Traced("NewData1(RD)"));
  Tick();
  EXPECT_TRUE(Traced("Duplicate1(RD)"));
  Peer(ptp::kData0, "three");
  Tick();
  EXPECT_EQ(line.delivered, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kAck0XOn, "", 0},
                                             {ptp::kAck0XOn, "", 0},
                                             {ptp::kAck1XOn, "", 0},
                                             {ptp::kAck1XOn, "", 0},
                                             {ptp::kAck0XOn, "", 0}}));
}

TEST_F(PTPMachinesTest, TransmitsByPriorityWithAlternatingSequence) {
  Queue("a", 0);
  Queue("b", 0);
  Queue("c", 3);
  Connect();
  Tick();
  EXPECT_EQ(Traces(), std::vector<std::string>{"TransmitMessage(TR)"});
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kData0, "c", 0}}));
  EXPECT_EQ(m.TransmitState, tsPending);
  Peer(ptp::kAck0XOn);
  Tick();
  EXPECT_TRUE(Traced("Ack0_XOn(RA)"));
  Tick();
  EXPECT_TRUE(Traced("ReceiveAcknowledgment(TP)"));
  EXPECT_EQ(m.TxSequence, 1);
  Tick();
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kData1, "a", 0}}));
  Peer(ptp::kAck1XOn);
  Tick(3);
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kData0, "b", 0}}));
}

TEST_F(PTPMachinesTest, UnacknowledgedDataSentFourTimesThenDropped) {
  Queue("x");
  Queue("y");
  Connect();
  Tick();
  uint32_t first = m.TickCount;
  Tick(204);
  std::vector<uint32_t> times;
  std::vector<Sent> frames = SentFrames();
  for (auto& s : frames)
    if (s.data == "x") times.push_back(s.tick - first);
  EXPECT_EQ(times, (std::vector<uint32_t>{0, 51, 102, 153}));
  for (auto& s : frames) EXPECT_EQ(s.type, ptp::kData0);
  auto t = Traces();
  EXPECT_EQ(std::count(t.begin(), t.end(), "Retry(TP)"), 3);
  EXPECT_EQ(t.back(), "RetriesFailed(TP)");
  EXPECT_EQ(m.TxSequence, 0);
  Tick();
  // The next message follows with the same sequence bit.
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kData0, "y", 0}}));
}

TEST_F(PTPMachinesTest, NakRepeatsAtOnceAndStaleAckIsOnlyFlowControl) {
  Queue("x");
  Connect();
  Tick();
  SentFrames();
  Peer(ptp::kNak0XOn);
  Tick();
  EXPECT_TRUE(Traced("Nak0_Xon(RN)"));
  Tick();
  EXPECT_TRUE(Traced("Retry(TP)"));
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kData0, "x", 0}}));
  Traces();
  // An acknowledgement of the other sequence bit changes only the peer's busy state.
  Peer(ptp::kAck1XOff);
  Tick();
  EXPECT_TRUE(Traced("Duplicate_XOff(RA)"));
  EXPECT_TRUE(m.RemoteBusy);
  Peer(ptp::kAck1XOn);
  Tick();
  EXPECT_TRUE(Traced("Duplicate_XOn(RA)"));
  EXPECT_FALSE(m.RemoteBusy);
  Tick(3);
  EXPECT_EQ(m.TransmitState, tsPending);
  EXPECT_TRUE(SentFrames().empty());
  // A stale NAK is ignored the same way.
  Peer(ptp::kNak1XOn);
  Tick(2);
  EXPECT_TRUE(Traced("Duplicate_XOn(RN)"));
  EXPECT_TRUE(SentFrames().empty());
  Peer(ptp::kAck0XOn);
  Tick(2);
  EXPECT_EQ(m.TransmitState, tsReady);
}

TEST_F(PTPMachinesTest, XOffHoldsTransmissionUntilXOn) {
  Connect();
  Peer(ptp::kHeartbeatXOff);
  Tick();
  EXPECT_TRUE(Traced("HeartbeatXOff(RR)"));
  Queue("held");
  Tick();
  EXPECT_TRUE(Traced("RemoteBusy(TR)"));
  EXPECT_EQ(m.TransmitState, tsBlocked);
  Tick(150);
  EXPECT_TRUE(Traced("HeartbeatTimerExpiredXOn(TB)"));
  for (auto& s : SentFrames()) EXPECT_EQ(s.type, ptp::kHeartbeatXOn);
  Traces();
  Peer(ptp::kHeartbeatXOn);
  Tick();
  EXPECT_TRUE(Traced("HeartbeatXOn(RR)"));
  Tick();
  EXPECT_TRUE(Traced("PeerReceiverReady(TB)"));
  Tick();
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kData0, "held", 0}}));
  // An XOff acknowledgement acknowledges and stops the next message.
  Queue("next");
  Peer(ptp::kAck0XOff);
  Tick(3);
  EXPECT_TRUE(Traced("Ack0_XOff(RA)"));
  EXPECT_EQ(m.TransmitState, tsBlocked);
  EXPECT_TRUE(SentFrames().empty());
}

TEST_F(PTPMachinesTest, HeartbeatAfterFifteenSecondsOfSilence) {
  Connect();  // one tick after the heartbeat that opened the connection
  Tick(149);
  EXPECT_TRUE(line.sent.empty());
  Tick();
  EXPECT_EQ(Traces().back(), "HeartbeatTimerExpiredXOn(TR)");
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kHeartbeatXOn, "", 0}}));
}

TEST_F(PTPMachinesTest, TestRequestEchoedAndConnectRequestAnsweredWhileConnected) {
  Connect();
  Peer(ptp::kTestRequest, "12345");
  Tick();
  EXPECT_TRUE(Traced("TestRequest(RR)"));
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kTestResponse, "12345", 0}}));
  Peer(ptp::kConnectRequest);
  Tick();
  EXPECT_TRUE(Traced("ConnectRequestReceived(CC)"));
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kConnectResponse, "", 0}}));
  EXPECT_EQ(m.ConnectionState, csConnected);
  Peer(ptp::kTestResponse, "ab");
  Tick();
  EXPECT_TRUE(Traced("TestResponse(RR)"));
}

TEST_F(PTPMachinesTest, InactivityEndsConnectionSilently) {
  Connect();
  Tick(599);  // Connect() ran one tick after the connection was made: 600 ticks now
  EXPECT_EQ(m.ConnectionState, csConnected);
  SentFrames();
  Tick();
  EXPECT_EQ(m.ConnectionState, csDisconnected);
  EXPECT_TRUE(Traced("InactivityTimeout(CC)"));
  EXPECT_TRUE(SentFrames().empty());
  Tick();
  EXPECT_TRUE(Traced("Disconnected(TR)"));
  EXPECT_TRUE(Traced("Disconnect(RR)"));
  EXPECT_EQ(m.TransmitState, tsIdle);
  EXPECT_EQ(m.ReceiveState, rsIdle);
  // A frame handled in time keeps the connection.
  Traces();
  Connect();
  Tick(500);
  Peer(ptp::kHeartbeatXOn);
  Tick(200);
  EXPECT_EQ(m.ConnectionState, csConnected);
}

TEST_F(PTPMachinesTest, FreshConnectionAfterLongIdleIsNotDroppedAtOnce) {
  Tick(2000);  // idle far beyond the inactivity limit
  Connect();
  Tick(10);
  EXPECT_EQ(m.ConnectionState, csConnected);
  EXPECT_FALSE(Traced("InactivityTimeout(CC)"));
}

TEST_F(PTPMachinesTest, InvalidFrameCountsAsActivity) {
  Connect();
  std::string bad = test::RefLogicalFrame(ptp::kData0, "abc");
  bad[7] ^= 1;
  Tick(500);
  rx.ReceiveOctets(bad);
  Tick();
  EXPECT_TRUE(Traced("InvalidFrame"));
  EXPECT_TRUE(Traced("BadFrame(RR)"));
  EXPECT_EQ(m.InactivityTimer, 0u);
  EXPECT_TRUE(line.delivered.empty());
}

TEST_F(PTPMachinesTest, DisconnectExchange) {
  Queue("survivor");
  Connect();
  m.TransmitState = tsReady;
  line.queue.Clear();
  Queue("survivor");
  m.RemoteBusy = true;  // keep it queued across the disconnection
  m.DisconnectRequested = true;
  Tick();
  EXPECT_TRUE(Traced("NetworkDisconnect(CC)"));
  EXPECT_EQ(SentFrames()[0], (Sent{ptp::kDisconnectRequest, "", 0}));
  EXPECT_EQ(m.ConnectionState, csDisconnecting);
  Peer(ptp::kHeartbeatXOn);
  Tick();
  EXPECT_TRUE(Traced("UnwantedFrameReceived(CG)"));
  Peer(ptp::kDisconnectResponse);
  Tick();
  EXPECT_TRUE(Traced("DisconnectResponseReceived(CG)"));
  EXPECT_EQ(m.ConnectionState, csDisconnected);
  Tick();
  EXPECT_EQ(m.TransmitState, tsIdle);
  EXPECT_EQ(m.ReceiveState, rsIdle);
  // Queued data survive and leave on the next connection.
  m.RemoteBusy = false;
  m.OutboundRequested = true;
  Tick();
  Peer(ptp::kConnectRequest);
  Tick(3);
  bool sent = false;
  for (auto& s : SentFrames()) sent |= s.type == ptp::kData0 && s.data == "survivor";
  EXPECT_TRUE(sent);
}

TEST_F(PTPMachinesTest, DisconnectWithoutAnswerAndByThePeer) {
  Connect();
  m.DisconnectRequested = true;
  Tick();
  Tick(49);
  EXPECT_EQ(m.ConnectionState, csDisconnecting);
  Tick();
  EXPECT_TRUE(Traced("DisconnectResponseFailure(CG)"));
  EXPECT_EQ(m.ConnectionState, csDisconnected);
  // The request is not repeated.
  int requests = 0;
  for (auto& s : SentFrames()) requests += s.type == ptp::kDisconnectRequest;
  EXPECT_EQ(requests, 1);

  Traces();
  Connect();
  Peer(ptp::kDisconnectRequest);
  Tick();
  EXPECT_TRUE(Traced("DisconnectRequestReceived(CC)"));
  EXPECT_EQ(SentFrames(), (std::vector<Sent>{{ptp::kDisconnectResponse, "", 0}}));
  EXPECT_EQ(m.ConnectionState, csDisconnected);

  // Both ask at once: the request that crosses ours is answered.
  Connect();
  m.DisconnectRequested = true;
  Tick();
  Peer(ptp::kDisconnectRequest);
  Tick();
  EXPECT_TRUE(Traced("DisconnectRequestReceived(CG)"));
  EXPECT_EQ(m.ConnectionState, csDisconnected);
}

TEST_F(PTPMachinesTest, UnconsumedIndicationWaitsForNextPreamble) {
  Connect();
  Peer(ptp::kConnectResponse);  // nobody acts on this while connected
  Tick();
  EXPECT_TRUE(m.ReceivedValidFrame);
  Tick(5);
  EXPECT_TRUE(m.ReceivedValidFrame);
  Peer(ptp::kData0, "d");
  Tick();
  EXPECT_EQ(line.delivered, std::vector<std::string>{"d"});
}

}  // namespace
}  // namespace zb::bacnet
