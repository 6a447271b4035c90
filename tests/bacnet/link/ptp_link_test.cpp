// The PTP link over a pseudo-terminal against the scripted peer: connection set-up both ways,
// data in both directions with sequence bits, lost and repeated frames and acknowledgements,
// flow control, test requests and both ways of disconnecting.
#include <gtest/gtest.h>

#include <regex>

#include "bacnet/link/data_link_ptp.h"
#include "tests/common/fast_clock.h"
#include "tests/common/ptp_peer.h"
#include "tests/common/pty.h"
#include "tests/common/run_task.h"

namespace zb::bacnet {
namespace {

namespace ptp = test::ptp;
constexpr int kPort = 61;

bool Send(TBACnetDataLinkPTP& link, const std::string& npdu, int priority = 0) {
  auto f = std::make_unique<TBACnetFrame>();
  f->Length = static_cast<int32_t>(npdu.size());
  std::memcpy(f->Data, npdu.data(), npdu.size());
  f->Priority = priority;
  return link.Send(*f);
}

class PTPLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    pty.MapToPort(kPort);
    link.DirectConnect = true;
    link.Password = "secret";
    link.SetComport(kPort);
    link.OnTrace = [this](void*, const std::string& text, int channel) {
      EXPECT_EQ(channel, 0);
      lines.push_back(text);
    };
    link.OnReceive = [this](void* sender, const TBACnetFrame& f) {
      EXPECT_EQ(sender, &link);
      EXPECT_EQ(f.SourceAddress, "<Local>");
      EXPECT_EQ(f.DestinationAddress, "<This>");
      received.emplace_back(reinterpret_cast<const char*>(f.Data), static_cast<size_t>(f.Length));
    };
  }

  // Text of a trace line without the state prefix.
  static std::string Text(const std::string& line) {
    size_t p = line.find("] ");
    return p == std::string::npos ? line : line.substr(p + 2);
  }
  bool Traced(const std::string& text) const {
    for (auto& l : lines)
      if (Text(l) == text) return true;
    return false;
  }
  bool Send(const std::string& npdu, int priority = 0) {
    return zb::bacnet::Send(link, npdu, priority);
  }
  void Open() {
    ASSERT_TRUE(test::RunTask(loop, link.Activate(true)));
    ASSERT_TRUE(link.Active);
    ASSERT_EQ(link.Machines().ConnectionState, csConnected);
    // Let the transmission machine reach tsReady.
    ASSERT_TRUE(time.RunUntil([&] { return link.Machines().TransmitState == tsReady; }, 1000));
    // Set-up ends as soon as the frames are written; let the far end read them.
    time.RunUntil([&] { return peer.Last(ptp::kHeartbeatXOn) != nullptr; }, 1000);
  }

  platform::MessageLoop loop;
  test::FastClock time{loop};
  test::PtyPair pty;
  test::PTPPeer peer{loop, pty.master()};
  TBACnetDataLinkPTP link{loop};
  std::vector<std::string> lines;
  std::vector<std::string> received;
};

TEST_F(PTPLinkTest, OpensAsCallingSide) {
  Open();
  EXPECT_EQ(peer.triggers, 1);
  ASSERT_NE(peer.Last(ptp::kConnectResponse), nullptr);
  EXPECT_EQ(peer.Last(ptp::kConnectResponse)->data, "secret");
  EXPECT_TRUE(peer.Last(ptp::kHeartbeatXOn) != nullptr);
  for (const char* t : {"Result=TRUE", "ConnectOutbound(CD)", "ValidFrame: ConnectRequest",
                        "ConnectRequestReceived(CO)", "ConState: Connected"})
    EXPECT_TRUE(Traced(t)) << t;
  std::regex prefix(R"(^\[\d+\]\[C:[0-4]\]\[T:[0-3]\]\[R:[0-4]\]\[\d+\] .*)");
  for (auto& l : lines) EXPECT_TRUE(std::regex_match(l, prefix)) << l;
  // The frames written are traced escaped, then their completion.
  bool sending = false;
  for (auto& l : lines) sending |= Text(l).rfind("Sending: [55][FF][0D][00][06]", 0) == 0;
  EXPECT_TRUE(sending);
  EXPECT_TRUE(Traced("DataSent: 0"));
}

TEST_F(PTPLinkTest, NoAnswerFailsTheOpenButKeepsThePort) {
  peer.answer_trigger = false;
  EXPECT_FALSE(test::RunTask(loop, link.Activate(true)));
  EXPECT_FALSE(link.Active);
  EXPECT_EQ(peer.triggers, 4);
  EXPECT_TRUE(Traced("ConnectRequestFailure(CO)"));
  EXPECT_TRUE(Traced("ConState: Disconnected"));
  EXPECT_TRUE(link.Port().Open());
}

TEST_F(PTPLinkTest, DataBothWaysWithSequenceBits) {
  Open();
  const std::string awkward("\x10\x11\x13\x55\xFF\x90", 6);
  ASSERT_TRUE(Send("first"));
  ASSERT_TRUE(Send(awkward));
  ASSERT_TRUE(Send("third"));
  ASSERT_TRUE(time.RunUntil([&] { return peer.npdus.size() == 3; }, 3000));
  EXPECT_EQ(peer.npdus, (std::vector<std::string>{"first", awkward, "third"}));
  EXPECT_EQ(peer.Count(ptp::kData0), 2);
  EXPECT_EQ(peer.Count(ptp::kData1), 1);
  EXPECT_EQ(peer.duplicates, 0);

  peer.SendData("up0");
  peer.SendData(awkward);
  peer.SendData("up2");
  ASSERT_TRUE(time.RunUntil([&] { return received.size() == 3; }, 3000));
  EXPECT_EQ(received, (std::vector<std::string>{"up0", awkward, "up2"}));
  ASSERT_TRUE(time.RunUntil([&] { return peer.Count(ptp::kAck0XOn) == 2; }, 1000));
  EXPECT_EQ(peer.Count(ptp::kAck1XOn), 1);
}

TEST_F(PTPLinkTest, RepeatedDataFromPeerHandedUpOnce) {
  Open();
  peer.SendFrame(ptp::kData0, "dup");
  ASSERT_TRUE(time.RunUntil([&] { return peer.Count(ptp::kAck0XOn) == 1; }, 1000));
  peer.SendFrame(ptp::kData0, "dup");  // as if our acknowledgement got lost
  ASSERT_TRUE(time.RunUntil([&] { return peer.Count(ptp::kAck0XOn) == 2; }, 1000));
  EXPECT_EQ(received, std::vector<std::string>{"dup"});
  EXPECT_TRUE(Traced("Duplicate0(RD)"));
}

TEST_F(PTPLinkTest, LostAcknowledgementRepeatsTheFrame) {
  Open();
  peer.drop_acks = 1;
  ASSERT_TRUE(Send("again"));
  ASSERT_TRUE(Send("next"));
  ASSERT_TRUE(time.RunUntil([&] { return peer.npdus.size() == 2; }, 12000));
  EXPECT_EQ(peer.npdus, (std::vector<std::string>{"again", "next"}));
  EXPECT_EQ(peer.duplicates, 1);
  EXPECT_TRUE(Traced("Retry(TP)"));
}

TEST_F(PTPLinkTest, LostDataFrameIsRepeatedAfterTimeOut) {
  Open();
  // The peer never hears the first copy: it ignores Data frames for a while.
  peer.acknowledge_data = false;
  ASSERT_TRUE(Send("late"));
  ASSERT_TRUE(time.RunUntil([&] { return peer.Count(ptp::kData0) == 1; }, 1000));
  peer.acknowledge_data = true;
  ASSERT_TRUE(time.RunUntil([&] { return link.Machines().TxSequence == 1; }, 7000));
  EXPECT_EQ(peer.Count(ptp::kData0), 2);
  EXPECT_EQ(peer.npdus, std::vector<std::string>{"late"});
  EXPECT_EQ(peer.duplicates, 1);
}

TEST_F(PTPLinkTest, XOffHoldsDataUntilXOn) {
  Open();
  peer.SendFrame(ptp::kHeartbeatXOff);
  ASSERT_TRUE(time.RunUntil([&] { return link.Machines().RemoteBusy; }, 1000));
  ASSERT_TRUE(Send("held"));
  time.RunFor(3000);
  EXPECT_EQ(peer.Count(ptp::kData0), 0);
  peer.SendFrame(ptp::kHeartbeatXOn);
  ASSERT_TRUE(time.RunUntil([&] { return peer.npdus.size() == 1; }, 1000));
  EXPECT_TRUE(Traced("RemoteBusy(TR)"));
  EXPECT_TRUE(Traced("PeerReceiverReady(TB)"));
}

TEST_F(PTPLinkTest, TestRequestAndHeartbeatsKeepTheLineAlive) {
  Open();
  peer.SendFrame(ptp::kTestRequest, std::string("\x01\x10\x02\x13\x03", 5));
  ASSERT_TRUE(time.RunUntil([&] { return peer.Count(ptp::kTestResponse) == 1; }, 1000));
  EXPECT_EQ(peer.Last(ptp::kTestResponse)->data, std::string("\x01\x10\x02\x13\x03", 5));
  // Peer heartbeats every 20 s keep the connection beyond the 60 s limit; ours come every 15 s.
  int before = peer.Count(ptp::kHeartbeatXOn);
  time.step_ms = 5;  // long quiet stretches
  for (int i = 0; i < 5; ++i) {
    time.RunFor(20000);
    peer.SendFrame(ptp::kHeartbeatXOn);
  }
  EXPECT_EQ(link.Machines().ConnectionState, csConnected);
  EXPECT_GE(peer.Count(ptp::kHeartbeatXOn) - before, 6);
  // Then silence: the link gives up after a minute without sending anything at the end.
  ASSERT_TRUE(
      time.RunUntil([&] { return link.Machines().ConnectionState == csDisconnected; }, 62000));
  EXPECT_TRUE(Traced("InactivityTimeout(CC)"));
  EXPECT_EQ(peer.Count(ptp::kDisconnectRequest), 0);
}

TEST_F(PTPLinkTest, PeerDisconnectsThenCallsBack) {
  Open();
  peer.SendFrame(ptp::kDisconnectRequest);
  ASSERT_TRUE(time.RunUntil([&] { return peer.Count(ptp::kDisconnectResponse) == 1; }, 1000));
  EXPECT_EQ(link.Machines().ConnectionState, csDisconnected);
  EXPECT_TRUE(Traced("DisconnectRequestReceived(CC)"));
  // Queued while down, sent after the peer connects as calling side.
  ASSERT_TRUE(Send("queued"));
  time.RunFor(500);
  EXPECT_TRUE(Traced("Lost"));
  int requests = peer.Count(ptp::kConnectRequest);
  peer.SendTrigger();
  ASSERT_TRUE(time.RunUntil([&] { return peer.Count(ptp::kConnectRequest) > requests; }, 1000));
  EXPECT_TRUE(Traced("ConnectInbound(CD)"));
  EXPECT_TRUE(peer.Last(ptp::kConnectRequest)->data.empty());
  peer.expected_rx = 0;
  ASSERT_TRUE(time.RunUntil([&] { return link.Machines().ConnectionState == csConnected; }, 1000));
  EXPECT_TRUE(Traced("ValidConnectResponseReceived(CI)"));
  ASSERT_TRUE(time.RunUntil([&] { return peer.npdus.size() == 1; }, 2000));
  EXPECT_EQ(peer.npdus[0], "queued");
}

TEST_F(PTPLinkTest, CloseRunsTheDisconnectExchange) {
  Open();
  EXPECT_FALSE(test::RunTask(loop, link.Activate(false)));
  EXPECT_FALSE(link.Active);
  EXPECT_EQ(peer.Count(ptp::kDisconnectRequest), 1);
  EXPECT_TRUE(Traced("NetworkDisconnect(CC)"));
  EXPECT_TRUE(Traced("DisconnectResponseReceived(CG)"));
  EXPECT_EQ(link.Machines().ConnectionState, csDisconnected);
  // The port stays open and the tick keeps running; a second close sends nothing.
  EXPECT_TRUE(link.Port().Open());
  EXPECT_TRUE(link.TickTimer().Enabled());
  size_t raw = peer.raw.size();
  test::RunTask(loop, link.Activate(false));
  time.RunFor(300);
  EXPECT_EQ(peer.raw.size(), raw);
  // Opening again connects anew.
  lines.clear();
  Open();
  EXPECT_EQ(peer.triggers, 2);
}

TEST_F(PTPLinkTest, CloseWithoutAnswerGivesUpAfterFiveSeconds) {
  Open();
  peer.answer_disconnect = false;
  int64_t t0 = time.NowMs();
  test::RunTask(loop, link.Activate(false));
  EXPECT_GE(time.NowMs() - t0, 4900);
  EXPECT_TRUE(Traced("DisconnectResponseFailure(CG)"));
}

TEST_F(PTPLinkTest, FrameSplitAcrossReads) {
  Open();
  std::string wire = test::RefWireFrame(ptp::kData0, "split-me");
  for (size_t cut = 1; cut < wire.size(); cut += 3) {
    received.clear();
    peer.tx_sequence = 0;
    link.Machines().RxSequence = 0;
    peer.SendRaw(wire.substr(0, cut));
    time.RunFor(150);
    peer.SendRaw(wire.substr(cut));
    ASSERT_TRUE(time.RunUntil([&] { return received.size() == 1; }, 1000)) << cut;
    EXPECT_EQ(received[0], "split-me");
  }
}

TEST_F(PTPLinkTest, GarbageAndBadFramesAreSurvived) {
  Open();
  std::string bad = test::RefLogicalFrame(ptp::kData0, "bad");
  bad[7] ^= 0x40;
  // Noise, then a header cut short: the receiver hunts again after 2 s of silence.
  peer.SendRaw(std::string("\x55\x00noise\x55\xFF\x01", 10));
  time.RunFor(2500);
  peer.SendRaw(bad);
  ASSERT_TRUE(time.RunUntil([&] { return Traced("BadFrame(RR)"); }, 3000));
  peer.SendData("good");
  ASSERT_TRUE(time.RunUntil([&] { return received.size() == 1; }, 1000));
  EXPECT_EQ(received[0], "good");
}

TEST_F(PTPLinkTest, LineErrorAbortsTheFrameBeingReceived) {
  Open();
  std::string f = test::RefWireFrame(ptp::kData0, "interrupted");
  peer.SendRaw(f.substr(0, 10));
  ASSERT_TRUE(time.RunUntil([&] { return link.Receiver().State == frData; }, 500));
  // As the port reports an overrun or framing error.
  link.Port().OnTriggerLineError(&link.Port(), 1, 4);
  EXPECT_EQ(link.Receiver().State, frIdle);
  ASSERT_TRUE(time.RunUntil([&] { return Traced("BadFrame(RR)"); }, 500));
  EXPECT_TRUE(Traced("InvalidFrame"));
  peer.SendRaw(f.substr(10));  // the rest is noise now
  peer.SendData("after");
  ASSERT_TRUE(time.RunUntil([&] { return received.size() == 1; }, 1000));
  EXPECT_EQ(received[0], "after");
}

TEST_F(PTPLinkTest, UpperLayerFailureIsContained) {
  Open();
  link.OnReceive = [](void*, const TBACnetFrame&) { throw std::runtime_error("upper layer"); };
  peer.SendData("boom");
  ASSERT_TRUE(time.RunUntil([&] { return peer.Count(ptp::kAck0XOn) == 1; }, 3000));
  EXPECT_EQ(link.Machines().ConnectionState, csConnected);
}

TEST(PTPLinkLifetime, DestroyedWhileConnected) {
  platform::MessageLoop loop;
  test::FastClock time(loop);
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  pty.MapToPort(kPort);
  test::PTPPeer peer(loop, pty.master());
  auto link = std::make_unique<TBACnetDataLinkPTP>(loop);
  link->DirectConnect = true;
  link->SetComport(kPort);
  ASSERT_TRUE(test::RunTask(loop, link->Activate(true)));
  ASSERT_TRUE(Send(*link, "never sent"));
  link.reset();
  size_t raw = peer.raw.size();
  time.RunFor(1000);
  EXPECT_LE(peer.raw.size(), raw + 32);  // at most what was already on its way
  // The device is free again.
  TBACnetDataLinkPTP again(loop);
  again.SetComport(kPort);
  again.Port().SetOpen(true);
  EXPECT_TRUE(again.Port().Open());
}

// --- Properties and contract, no peer needed -------------------------------------------------

TEST(PTPLinkContract, LimitsAddressesAndQueue) {
  platform::MessageLoop loop;
  TBACnetDataLinkPTP link(loop);
  EXPECT_EQ(link.MaxAPDULength, 480);
  EXPECT_EQ(link.MaxAPDUCode(), 3);
  EXPECT_EQ(link.WindowLimit, 1);
  EXPECT_TRUE(link.IsPointToPoint());
  Variant v(int32_t{7});
  link.GetParameter(2, v);
  EXPECT_EQ(v.AsIntRaw(), 7);
  link.GetParameter(kParamLocalAddress, v);
  EXPECT_TRUE(v.IsText());
  EXPECT_EQ(link.LocalAddress, "<This>");
  link.SetParameter(0, Variant(int32_t{5}));
  link.SetParameter(1, Variant(int32_t{5}));

  auto f = std::make_unique<TBACnetFrame>();
  f->Length = 502;  // cannot be framed
  EXPECT_FALSE(link.Send(*f));
  f->Length = -1;
  EXPECT_FALSE(link.Send(*f));
  f->Length = 501;
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(link.Send(*f)) << i;
  EXPECT_FALSE(link.Send(*f));
  EXPECT_EQ(link.TransmitQueue().Count(), 256);
}

TEST(PTPLinkContract, TracePrefixCountsTicksWhileDisconnected) {
  platform::MessageLoop loop;
  platform::ManualClock clock;
  loop.SetClock(&clock);
  TBACnetDataLinkPTP link(loop);
  std::vector<std::string> lines;
  link.OnTrace = [&](void*, const std::string& t, int) { lines.push_back(t); };
  link.TickTimer().SetEnabled(true);
  loop.AdvanceClock(123400);
  ASSERT_EQ(lines.size(), 1234u);
  EXPECT_EQ(lines.back(), "[1234][C:0][T:0][R:0][0] Lost");
  loop.SetClock(nullptr);
}

TEST(PTPLinkContract, NoPortOpensWithoutLine) {
  platform::MessageLoop loop;
  TBACnetDataLinkPTP link(loop);
  EXPECT_EQ(link.Comport(), 0);
  EXPECT_TRUE(test::RunTask(loop, link.Activate(true)));
  EXPECT_TRUE(link.Active);
  EXPECT_FALSE(link.Port().Open());
  EXPECT_FALSE(test::RunTask(loop, link.Activate(false)));
}

TEST(PTPLinkContract, ComportAndBaudRate) {
  platform::MessageLoop loop;
  test::FastClock time(loop);
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  pty.MapToPort(kPort);
  ::setenv("ZELBACNET_COM62", "/nonexistent/tty", 1);
  TBACnetDataLinkPTP link(loop);
  std::vector<std::string> messages, lines;
  link.OnShowMessage = [&](const std::string& m) { messages.push_back(m); };
  link.OnTrace = [&](void*, const std::string& t, int) { lines.push_back(t); };

  link.SetBaudRate(br57600);
  EXPECT_EQ(link.Port().Baud(), 57600);
  link.SetBaudRate(42);  // only stored
  EXPECT_EQ(link.BaudRate(), 42);
  EXPECT_EQ(link.Port().Baud(), 57600);

  // An unusable port fails the open with "Exception" and stays closed.
  link.DirectConnect = true;
  link.SetComport(62);
  EXPECT_FALSE(test::RunTask(loop, link.Activate(true)));
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("] Exception"), std::string::npos);
  EXPECT_FALSE(link.Port().Open());

  // A new number while open re-opens; an unusable one shows the message.
  link.SetComport(kPort);
  link.Port().SetOpen(true);
  link.SetComport(kPort);
  EXPECT_TRUE(link.Port().Open());
  EXPECT_TRUE(messages.empty());
  link.SetComport(62);
  EXPECT_EQ(messages, std::vector<std::string>{"COM62 is invalid or already in use."});
  EXPECT_FALSE(link.Port().Open());
  EXPECT_EQ(link.Comport(), 62);

  link.SetComport(kPort);
  link.Port().SetOpen(true);
  link.SetComport(65);
  EXPECT_EQ(link.Comport(), 0);
  EXPECT_FALSE(link.Port().Open());
  link.SetComport(-3);
  EXPECT_EQ(link.Comport(), 0);
}

TEST(PTPLinkContract, PortInUseByAnotherLink) {
  platform::MessageLoop loop;
  test::FastClock time(loop);
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  pty.MapToPort(kPort);
  TBACnetDataLinkPTP a(loop), b(loop);
  a.SetComport(kPort);
  b.SetComport(kPort);
  a.Port().SetOpen(true);
  std::string shown;
  b.OnShowMessage = [&](const std::string& m) { shown = m; };
  b.Port().ComNumber = kPort;
  EXPECT_THROW(b.Port().SetOpen(true), TSerialPortError);
  b.Port().SetOpen(false);
  b.SetComport(kPort);
  EXPECT_TRUE(shown.empty());  // b's port was closed: nothing to re-open
}

}  // namespace
}  // namespace zb::bacnet
