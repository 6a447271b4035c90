// The network layer over the BACnet/IP link on real sockets, in private namespaces: routers
// learned from raw datagrams, and NPDUs exchanged with the independent npm peer.
#include <gtest/gtest.h>

#include "bacnet/link/data_link_bip.h"
#include "bacnet/net/network.h"
#include "tests/bacnet/net/scripted_link.h"
#include "tests/common/netns.h"
#include "tests/common/peer.h"
#include "tests/common/udp_probe.h"

namespace zb::bacnet {
namespace {

using test::Hex;
using test::RunLoopUntil;
using testing::Octets;

// I-Am for device 135: max APDU 1024, segmentation both, vendor 7.
const std::string kIAm =
    Octets({0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x87, 0x22, 0x04, 0x00, 0x91, 0x00, 0x21, 0x07});

class NetworkOverBIP : public ::testing::Test {
 protected:
  void SetUp() override {
    net = std::make_unique<test::TestNetwork>(2);
    if (!net->ok()) GTEST_SKIP() << net->error();
    network.DataLink = &link;
    network.OnTrace = [this](void*, const std::string& t, int) { log.push_back(t); };
    network.OnReceive = [this](void*, const TBACnetNPDU& n) { received.push_back(n); };
    net->In(0, [&] {
      link.SetLocalHost("10.47.0.1");
      ASSERT_TRUE(network.Open(true));
    });
    Variant v;
    network.GetParameter(kParamLocalAddress, v);
  }
  std::string Data(const TBACnetNPDU& n) {
    return std::string(reinterpret_cast<const char*>(n.Data), n.Length);
  }
  void SendBroadcast(const std::string& apdu) {
    TBACnetNPDU n;
    n.Broadcast = true;
    n.DestinationNetwork = 65535;
    n.Length = static_cast<int>(apdu.size());
    std::copy(apdu.begin(), apdu.end(), n.Data);
    network.SendNPDU(n);
  }

  platform::MessageLoop loop;
  std::unique_ptr<test::TestNetwork> net;
  TBACnetDataLinkBIP link{loop};
  TBACnetNetwork network;
  std::vector<std::string> log;
  std::vector<TBACnetNPDU> received;
};

TEST_F(NetworkOverBIP, RoutersAreLearnedFromTheWireAndUsedForRemoteNetworks) {
  std::unique_ptr<test::UdpProbe> router;
  net->In(1, [&] { router = std::make_unique<test::UdpProbe>("0.0.0.0", 47808); });
  ASSERT_TRUE(router->ok());

  // Who-Is-Router-To-Network goes out as a broadcast network-layer message.
  TBACnetNPDU ask;
  ask.NetworkMessage = true;
  ask.NetworkMessageType = 0;
  ask.Broadcast = true;
  ask.Length = 2;
  ask.Data[0] = 0x10;
  network.SendNPDU(ask);
  std::string got;
  ASSERT_TRUE(router->Receive(got, 2000));
  EXPECT_EQ(Hex(got), Hex(Octets({0x81, 0x0B, 0x00, 0x07, 0x01, 0x80, 0x00})));

  router->SendTo("10.47.0.1", 47808,
                 Octets({0x81, 0x0B, 0x00, 0x0B, 0x01, 0x80, 0x01, 0x00, 0x05, 0x00, 0x07}));
  ASSERT_TRUE(RunLoopUntil([&] { return log.size() == 2; }, 2000, loop));
  EXPECT_EQ(log[0], "Found Router to Network [05] at [0A][2F][00][02][BA][C0]");
  EXPECT_TRUE(received.empty());

  TBACnetNPDU request;
  request.DestinationNetwork = 7;
  request.DestinationAddress = Octets({0x0C});
  request.ExpectingReply = true;
  request.Length = 4;
  std::copy_n("\x00\x05\x01\x0C", 4, request.Data);
  network.SendNPDU(request);
  ASSERT_TRUE(router->Receive(got, 2000));
  EXPECT_EQ(Hex(got), Hex(Octets({0x81, 0x0A, 0x00, 0x0F, 0x01, 0x24, 0x00, 0x07, 0x01, 0x0C, 0xFF,
                                  0x00, 0x05, 0x01, 0x0C})));
}

TEST_F(NetworkOverBIP, SourceNetworkOfAReceivedNPDUTeachesTheRouterForTheReply) {
  std::unique_ptr<test::UdpProbe> router;
  net->In(1, [&] { router = std::make_unique<test::UdpProbe>("10.47.0.2", 47999); });
  router->SendTo(
      "10.47.0.1", 47808,
      Octets({0x81, 0x0A, 0x00, 0x0C, 0x01, 0x08, 0x00, 0x09, 0x01, 0x21}) + Octets({0x10, 0x08}));
  ASSERT_TRUE(RunLoopUntil([&] { return !received.empty(); }, 2000, loop));
  const TBACnetNPDU in = received[0];
  EXPECT_EQ(in.SourceNetwork, 9);
  EXPECT_EQ(in.SourceAddress, Octets({0x21}));
  EXPECT_EQ(Data(in), Octets({0x10, 0x08}));
  EXPECT_EQ(in.DestinationAddress, Octets({10, 47, 0, 1, 0xBA, 0xC0}));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "Found Router to Network [09] at [0A][2F][00][02][BB][7F]");

  // The reply to the sender: the application layer swaps the header; the router comes from
  // the table.
  TBACnetNPDU reply;
  MakeReplyAddressInfo(in, reply);
  reply.Length = static_cast<int>(kIAm.size());
  std::copy(kIAm.begin(), kIAm.end(), reply.Data);
  network.SendNPDU(reply);
  std::string got;
  ASSERT_TRUE(router->Receive(got, 2000));
  EXPECT_EQ(Hex(got.substr(0, 10)),
            Hex(Octets({0x81, 0x0A, 0x00, 0x19, 0x01, 0x20, 0x00, 0x09, 0x01, 0x21})));
  EXPECT_EQ(got.substr(11), kIAm);
}

TEST_F(NetworkOverBIP, ExchangesWhoIsAndIAmWithTheIndependentPeer) {
  if (!test::PeerInstalled()) GTEST_SKIP() << "npm peer not installed (tools/setup.sh)";
  test::PeerProcess peer;
  ASSERT_TRUE(peer.Start("bip_peer.js", {"0.0.0.0", "47808", "255.255.255.255"}, net->Name(1)));
  ASSERT_TRUE(peer.WaitFor("\"listening\"", 10000, nullptr, loop)) << peer.TranscriptText();

  peer.Send(R"({"cmd":"whoIs"})");
  ASSERT_TRUE(RunLoopUntil([&] { return !received.empty(); }, 5000, loop)) << peer.TranscriptText();
  EXPECT_EQ(Data(received[0]), Octets({0x10, 0x08}));
  EXPECT_EQ(received[0].SourceAddress, Octets({10, 47, 0, 2, 0xBA, 0xC0}));
  EXPECT_TRUE(received[0].Broadcast);

  SendBroadcast(kIAm);
  std::string line;
  ASSERT_TRUE(peer.WaitFor("\"iAm\"", 5000, &line, loop)) << peer.TranscriptText();
  EXPECT_NE(line.find("\"deviceId\":135"), std::string::npos) << line;
  EXPECT_NE(line.find("\"maxApdu\":1024"), std::string::npos) << line;
  EXPECT_NE(line.find("\"vendorId\":7"), std::string::npos) << line;
  EXPECT_NE(line.find("10.47.0.1"), std::string::npos) << line;

  // And an I-Am sent straight to us.
  received.clear();
  peer.Send(R"({"cmd":"iAm","deviceId":4194302,"vendorId":99,"address":"10.47.0.1"})");
  ASSERT_TRUE(RunLoopUntil([&] { return !received.empty(); }, 5000, loop)) << peer.TranscriptText();
  const std::string apdu = Data(received[0]);
  ASSERT_GE(apdu.size(), 7u);
  EXPECT_EQ(Hex(apdu.substr(0, 7)), Hex(Octets({0x10, 0x00, 0xC4, 0x02, 0x3F, 0xFF, 0xFE})));
  EXPECT_FALSE(received[0].Broadcast);
}

}  // namespace
}  // namespace zb::bacnet
