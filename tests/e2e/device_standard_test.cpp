// Our device and link as standard BACnet peers see them: the independent peer and raw
// datagrams from the standard ask, tshark referees every frame on the wire.
#include <gtest/gtest.h>

#include <iostream>

#include "device_stack.h"
#include "tests/common/peer.h"
#include "tests/common/udp_probe.h"
#include "tests/common/wire_capture.h"

namespace zb::bacnet::device_e2e {
namespace {

constexpr int kInstance = 4321;  // 0x0010E1

using test::Hex;
using test::UdpProbe;

std::string Octets(std::initializer_list<int> v) {
  std::string s;
  for (int c : v) s += static_cast<char>(c);
  return s;
}

// A ReadProperty of our Object_Name (invoke ID 7) as an APDU.
const std::string kReadName =
    Octets({0x00, 0x05, 0x07, 0x0C, 0x0C, 0x02, 0x00, 0x10, 0xE1, 0x19, 0x4D});

// Three hosts: our stack in 0, the peer in 1, bystanders and raw nodes in 1 and 2.
class StandardPeers : public ::testing::Test {
 protected:
  void SetUp() override {
    net_ = std::make_unique<test::TestNetwork>(3);
    if (!net_->ok()) GTEST_SKIP() << net_->error();
    if (test::CaptureToolsInstalled()) {
      ASSERT_TRUE(capture_.Start(net_->HubName(), "p0"));
    }
    stack_ = std::make_unique<BIPDeviceStack>();
    stack_->dev.SetObjectIdentifier(kInstance);
  }
  void TearDown() override {
    if (peer_.Running()) peer_.Send(R"({"cmd":"quit"})");
    peer_.Kill();
    stack_.reset();
    if (capture_.Running()) {
      const test::CaptureSummary s = capture_.Stop({47809});
      EXPECT_TRUE(s.ok) << s.Text();
      EXPECT_EQ(s.malformed, 0) << s.Text();
      std::cout << s.Text() << "\n";
    }
    net_.reset();
  }
  bool StartPeer(int host = 1, const std::string& port = "47808") {
    if (!test::PeerInstalled()) return false;
    EXPECT_TRUE(
        peer_.Start("foreign_client.js", {"0.0.0.0", port, "255.255.255.255"}, net_->Name(host)));
    return peer_.WaitFor("\"listening\"", 15000, nullptr, stack_->loop);
  }
  // Sends a command about our device and returns the peer's answer line ("" on time-out).
  std::string Ask(const std::string& fields, const std::string& event = "",
                  int instance = kInstance) {
    peer_.Send(R"({"address":"10.47.0.1:47808","type":8,"instance":)" + std::to_string(instance) +
               "," + fields + "}");
    std::string line;
    for (int i = 0; i < 20 && peer_.ReadLine(line, 8000, stack_->loop); ++i) {
      if (!event.empty() && line.find("\"event\":\"" + event + "\"") != std::string::npos)
        return line;
      if (line.find("\"failed\"") != std::string::npos) return line;
    }
    return "";
  }
  std::unique_ptr<UdpProbe> Probe(int host, const std::string& address, int port = 47808) {
    std::unique_ptr<UdpProbe> p;
    net_->In(host, [&] { p = std::make_unique<UdpProbe>(address, port); });
    return p;
  }
  // Runs our stack's loop until the probe receives a datagram.
  bool Await(UdpProbe& probe, std::string& got, int ms = 3000, std::string* from = nullptr) {
    return test::RunLoopUntil([&] { return probe.Receive(got, 0, from); }, ms, stack_->loop);
  }

  std::unique_ptr<test::TestNetwork> net_;
  std::unique_ptr<BIPDeviceStack> stack_;
  test::PeerProcess peer_;
  test::WireCapture capture_;
};

#define NEED_PEER() \
  if (!StartPeer()) GTEST_SKIP() << "npm peer not installed (tools/setup.sh)"

TEST_F(StandardPeers, BroadcastsReachANodeThatListensOnTheSubnetBroadcastOnly) {
  // Bound to the subnet's broadcast address, a node never hears 255.255.255.255.
  auto subnet = Probe(1, "10.47.0.255");
  ASSERT_TRUE(subnet->ok());
  ASSERT_TRUE(stack_->Open(*net_, 0));
  EXPECT_EQ(stack_->link.BroadcastHost(), "10.47.0.255");
  std::string got;
  ASSERT_TRUE(Await(*subnet, got));
  EXPECT_EQ(got.substr(0, 2), Octets({0x81, 0x0B}));  // I-Am, then Who-Is
  ASSERT_TRUE(Await(*subnet, got));
  EXPECT_EQ(got.substr(got.size() - 2), Octets({0x10, 0x08}));
}

TEST_F(StandardPeers, BroadcastRequestIsAnsweredToTheRequesterAlone) {
  ASSERT_TRUE(stack_->Open(*net_, 0));
  test::RunLoopFor(100, stack_->loop);
  auto requester = Probe(1, "10.47.0.2");
  std::unique_ptr<UdpProbe> bystander;
  net_->In(2, [&] { bystander = std::make_unique<UdpProbe>("0.0.0.0", 47808); });
  const std::string npdu = Octets({0x01, 0x24, 0xFF, 0xFF, 0x00, 0xFF}) + kReadName;
  ASSERT_TRUE(requester->SendTo(
      "10.47.0.255", 47808, Octets({0x81, 0x0B, 0x00, static_cast<int>(4 + npdu.size())}) + npdu));
  std::string got;
  ASSERT_TRUE(Await(*requester, got));
  EXPECT_EQ(got.substr(0, 2), Octets({0x81, 0x0A}));        // unicast
  EXPECT_EQ(got.substr(4, 2), Octets({0x01, 0x00}));        // no DNET
  EXPECT_EQ(got.substr(6, 3), Octets({0x30, 0x07, 0x0C}));  // complex ACK of invoke 7
  // The bystander heard the request, never the answer.
  std::string heard;
  while (bystander->Receive(heard, 300)) EXPECT_NE(heard.substr(0, 2), Octets({0x81, 0x0A}));
}

TEST_F(StandardPeers, ForwardedRequestIsAnsweredToItsOriginator) {
  // The originator sits on another subnet (reached on the same wire here).
  ASSERT_TRUE(net_->AddAddress(2, "10.48.0.3/24"));
  ASSERT_TRUE(stack_->Open(*net_, 0));
  auto bbmd = Probe(1, "10.47.0.2");
  auto originator = Probe(2, "10.48.0.3");
  ASSERT_TRUE(originator->ok());
  const std::string npdu = Octets({0x01, 0x04}) + kReadName;
  auto forwarded = [&](int a, int b, int c, int d) {
    return Octets({0x81, 0x04, 0x00, static_cast<int>(10 + npdu.size()), a, b, c, d, 0xBA, 0xC0}) +
           npdu;
  };
  ASSERT_TRUE(bbmd->SendTo("10.47.0.1", 47808, forwarded(10, 48, 0, 3)));
  std::string got;
  ASSERT_TRUE(Await(*originator, got));
  EXPECT_EQ(got.substr(0, 2), Octets({0x81, 0x0A}));
  EXPECT_EQ(got.substr(6, 3), Octets({0x30, 0x07, 0x0C}));
  EXPECT_FALSE(bbmd->Receive(got, 200));
  // No BBMD forwards what comes from our own subnet: such an originator is made up, and the
  // node that sent the datagram is answered.
  ASSERT_TRUE(bbmd->SendTo("10.47.0.1", 47808, forwarded(10, 47, 0, 77)));
  ASSERT_TRUE(Await(*bbmd, got));
  EXPECT_EQ(got.substr(6, 3), Octets({0x30, 0x07, 0x0C}));
}

TEST_F(StandardPeers, APeerOnOurOwnAddressButAnotherPortIsServed) {
  if (!test::PeerInstalled()) GTEST_SKIP() << "npm peer not installed (tools/setup.sh)";
  ASSERT_TRUE(stack_->Open(*net_, 0));
  ASSERT_TRUE(peer_.Start("foreign_client.js", {"0.0.0.0", "47809", "10.47.0.255"}, net_->Name(0)));
  ASSERT_TRUE(peer_.WaitFor("\"listening\"", 15000, nullptr, stack_->loop));
  const std::string line = Ask(R"("cmd":"read","property":77)", "read");
  EXPECT_NE(line.find("\"ZelBACnetServer\""), std::string::npos) << line;
}

TEST_F(StandardPeers, DeviceObjectReadsAsTheStandardDefinesIt) {
  NEED_PEER();
  ASSERT_TRUE(stack_->Open(*net_, 0));
  std::string line = Ask(R"("cmd":"read","property":79)", "read");
  EXPECT_NE(line.find(R"("type":9,"value":8)"), std::string::npos) << line;  // enumerated
  line = Ask(R"("cmd":"read","property":76,"index":0)", "read");
  EXPECT_NE(line.find(R"("value":1})"), std::string::npos) << line;
  line = Ask(R"("cmd":"read","property":76,"index":1)", "read");
  EXPECT_NE(line.find(R"("type":8,"instance":4321)"), std::string::npos) << line;
  line = Ask(R"("cmd":"read","property":76)", "read");
  EXPECT_NE(line.find(R"("type":8,"instance":4321)"), std::string::npos) << line;
  line = Ask(R"("cmd":"read","property":30)", "read");
  EXPECT_NE(line.find(R"("values":[])"), std::string::npos) << line;
  // The wildcard instance stands for ours.
  line = Ask(R"("cmd":"read","property":75)", "read", 4194303);
  EXPECT_NE(line.find(R"("type":8,"instance":4321)"), std::string::npos) << line;
  // Every property of ALL decodes for the peer.
  line = Ask(R"("cmd":"readMultiple","properties":[8])", "readMultiple");
  for (int id : {30, 76, 79, 96, 97})
    EXPECT_NE(line.find("\"id\":" + std::to_string(id) + ","), std::string::npos) << id << line;
  EXPECT_EQ(line.find("\"errorClass\""), std::string::npos) << line;
}

TEST_F(StandardPeers, WhatCannotBeDoneIsAnErrorOrARejection) {
  NEED_PEER();
  ASSERT_TRUE(stack_->Open(*net_, 0));
  std::string line = Ask(R"("cmd":"read","property":85)", "read");
  EXPECT_NE(line.find("Class:2 - Code:32"), std::string::npos) << line;
  line = Ask(R"("cmd":"read","property":75,"index":2)", "read");
  EXPECT_NE(line.find("Class:2 - Code:50"), std::string::npos) << line;
  line = Ask(R"("cmd":"read","property":77)", "read", 99);
  EXPECT_NE(line.find("Class:1 - Code:31"), std::string::npos) << line;
  line = Ask(R"("cmd":"write","property":28,"value":{"type":7,"value":"Plant room"},"priority":8)",
             "written");
  EXPECT_NE(line.find("Class:2 - Code:40"), std::string::npos) << line;
  // Both read-access specifications are answered, the unknown object with an access error.
  peer_.Send(R"({"cmd":"readMultipleSpecs","address":"10.47.0.1:47808","specs":[)"
             R"({"type":0,"instance":1,"properties":[85]},)"
             R"({"type":8,"instance":4321,"properties":[77]}]})");
  ASSERT_TRUE(peer_.WaitFor("\"readMultiple\"", 8000, &line, stack_->loop))
      << peer_.TranscriptText();
  EXPECT_NE(line.find("\"ZelBACnetServer\""), std::string::npos) << line;
  EXPECT_NE(line.find(R"("instance":1)"), std::string::npos) << line;

  // A service we do not execute is rejected at once.
  auto raw = Probe(2, "10.47.0.3");
  // DeviceCommunicationControl, enable.
  ASSERT_TRUE(raw->SendTo(
      "10.47.0.1", 47808,
      Octets({0x81, 0x0A, 0x00, 0x0C, 0x01, 0x04, 0x00, 0x05, 0x09, 0x11, 0x19, 0x00})));
  std::string got;
  ASSERT_TRUE(Await(*raw, got, 1000));
  EXPECT_EQ(Hex(got.substr(6)), Hex(Octets({0x60, 0x09, 0x09})));
}

TEST_F(StandardPeers, WhoIsWithARangeIsAnsweredOnlyInsideIt) {
  NEED_PEER();
  ASSERT_TRUE(stack_->Open(*net_, 0));
  std::string line;
  // The I-Am our opening announced.
  ASSERT_TRUE(peer_.WaitFor("\"iAm\"", 5000, &line, stack_->loop)) << peer_.TranscriptText();
  peer_.Send(R"({"cmd":"whoIs","lowLimit":1,"highLimit":100})");
  EXPECT_FALSE(peer_.WaitFor("\"iAm\"", 1500, &line, stack_->loop)) << line;
  peer_.Send(R"({"cmd":"whoIs","lowLimit":4000,"highLimit":5000})");
  ASSERT_TRUE(peer_.WaitFor("\"iAm\"", 5000, &line, stack_->loop)) << peer_.TranscriptText();
  EXPECT_NE(line.find("\"deviceId\":4321"), std::string::npos) << line;
}

TEST_F(StandardPeers, TheVirtualNetworkIsRoutedToOurDevice) {
  NEED_PEER();
  ASSERT_TRUE(stack_->Open(*net_, 0));
  std::unique_ptr<UdpProbe> asker;
  net_->In(2, [&] { asker = std::make_unique<UdpProbe>("0.0.0.0", 47808); });
  ASSERT_TRUE(
      asker->SendTo("10.47.0.1", 47808, Octets({0x81, 0x0A, 0x00, 0x07, 0x01, 0x80, 0x00})));
  std::string got;
  bool answered = false;
  for (int i = 0; i < 5 && !answered && Await(*asker, got, 2000); ++i)
    answered = got == Octets({0x81, 0x0B, 0x00, 0x09, 0x01, 0x80, 0x01, 0x35, 0x79});
  EXPECT_TRUE(answered) << Hex(got);

  // Through us as router to our device on 13689 (its address there: 4321 = 0x10E1).
  std::string line = Ask(R"("cmd":"read","property":77,"net":13689,"adr":[16,225])", "read");
  EXPECT_NE(line.find("\"ZelBACnetServer\""), std::string::npos) << line;
  // A network we do not route to is not answered as if it were ours.
  line = Ask(R"("cmd":"read","property":77,"net":5,"adr":[16,225])", "read");
  EXPECT_NE(line.find("\"failed\""), std::string::npos) << line;
}

TEST_F(StandardPeers, UnspecifiedMaxSegmentsTakesASegmentedAnswer) {
  // The peer cannot announce code 0, so a raw requester does: ReadPropertyMultiple of ALL,
  // segmented answer accepted, max segments unspecified, max APDU 50.
  ASSERT_TRUE(stack_->Open(*net_, 0));
  auto asker = Probe(1, "10.47.0.2");
  const std::string apdu =
      Octets({0x02, 0x00, 0x21, 0x0E, 0x0C, 0x02, 0x00, 0x10, 0xE1, 0x1E, 0x09, 0x08, 0x1F});
  ASSERT_TRUE(asker->SendTo(
      "10.47.0.1", 47808,
      Octets({0x81, 0x0A, 0x00, static_cast<int>(6 + apdu.size()), 0x01, 0x04}) + apdu));
  std::string data;
  int segments = 0;
  for (bool more = true; more;) {
    std::string got;
    ASSERT_TRUE(Await(*asker, got)) << segments;
    ASSERT_GE(got.size(), 11u);
    // Complex ACK, segmented; each one acknowledged with a window of one.
    ASSERT_EQ(static_cast<uint8_t>(got[6]) & 0xF8, 0x38) << Hex(got);
    more = static_cast<uint8_t>(got[6]) & 0x04;
    const int sequence = static_cast<uint8_t>(got[8]);
    EXPECT_EQ(sequence, segments);
    data += got.substr(11);
    ++segments;
    ASSERT_TRUE(
        asker->SendTo("10.47.0.1", 47808,
                      Octets({0x81, 0x0A, 0x00, 0x0A, 0x01, 0x00, 0x40, 0x21, sequence, 0x01})));
  }
  EXPECT_GT(segments, 4);
  EXPECT_NE(data.find(std::to_string(kStoredVendorIdentifier) + "-"), std::string::npos);
}

TEST_F(StandardPeers, ADisconnectedStackFreesItsPortAndAnswersNothing) {
  ASSERT_TRUE(stack_->Open(*net_, 0));
  stack_->dev.Open(false);
  auto asker = Probe(1, "10.47.0.2");
  ASSERT_TRUE(asker->SendTo("10.47.0.1", 47808,
                            Octets({0x81, 0x0A, 0x00, static_cast<int>(6 + kReadName.size())}) +
                                Octets({0x01, 0x04}) + kReadName));
  std::string got;
  EXPECT_FALSE(Await(*asker, got, 500));
  auto next = Probe(0, "10.47.0.1");
  EXPECT_TRUE(next->ok());
}

}  // namespace
}  // namespace zb::bacnet::device_e2e
