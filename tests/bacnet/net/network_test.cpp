#include "bacnet/net/network.h"

#include <gtest/gtest.h>

#include "tests/bacnet/net/scripted_link.h"

namespace zb::bacnet {
namespace {

using testing::Octets;
using testing::ScriptedLink;

// A ReadProperty-shaped APDU; its content does not matter to the network layer.
const std::string kAPDU =
    Octets({0x00, 0x04, 0x02, 0x0C, 0x0C, 0x02, 0x00, 0x00, 0x87, 0x19, 0x4D});

TBACnetNPDU MakeNPDU(const std::string& apdu) {
  TBACnetNPDU npdu;
  npdu.Length = static_cast<int>(apdu.size());
  std::copy(apdu.begin(), apdu.end(), npdu.Data);
  return npdu;
}

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    net.DataLink = &link;
    net.OnTrace = [this](void* sender, const std::string& text, int channel) {
      EXPECT_EQ(sender, &net);
      EXPECT_EQ(channel, 1);
      log.push_back(text);
    };
    net.OnReceive = [this](void* sender, const TBACnetNPDU& npdu) {
      EXPECT_EQ(sender, &net);
      received.push_back(npdu);
    };
    ASSERT_TRUE(net.Open(true));
  }
  std::string Received(size_t i) const {
    return std::string(reinterpret_cast<const char*>(received.at(i).Data), received.at(i).Length);
  }

  ScriptedLink link;
  TBACnetNetwork net;
  std::vector<std::string> log;
  std::vector<TBACnetNPDU> received;
};

TEST_F(NetworkTest, LocalUnicastCarriesOnlyVersionAndControl) {
  TBACnetNPDU npdu = MakeNPDU(kAPDU);
  npdu.DestinationAddress = Octets({0x0A, 0, 0, 9, 0xBA, 0xC0});
  npdu.ExpectingReply = true;
  EXPECT_TRUE(net.SendNPDU(npdu));
  npdu.ExpectingReply = false;
  npdu.Priority = 3;
  EXPECT_TRUE(net.SendNPDU(npdu));
  ASSERT_EQ(link.sent.size(), 2u);
  EXPECT_EQ(link.SentOctets(0), Octets({0x01, 0x04}) + kAPDU);
  EXPECT_EQ(link.SentOctets(1), Octets({0x01, 0x03}) + kAPDU);
  EXPECT_EQ(link.sent[0].DestinationAddress, npdu.DestinationAddress);
  EXPECT_EQ(link.sent[1].Priority, 3);
}

TEST_F(NetworkTest, BroadcastGetsGlobalDestinationWhateverTheNetworkSays) {
  TBACnetNPDU npdu = MakeNPDU(kAPDU);
  npdu.Broadcast = true;
  npdu.DestinationNetwork = 5;
  net.SendNPDU(npdu);
  npdu.Broadcast = false;
  npdu.DestinationNetwork = 65535;
  net.SendNPDU(npdu);
  ASSERT_EQ(link.sent.size(), 2u);
  const std::string header = Octets({0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF});
  EXPECT_EQ(link.SentOctets(0), header + kAPDU);
  EXPECT_TRUE(link.sent[0].Broadcast);
  EXPECT_EQ(link.SentOctets(1), header + kAPDU);
}

TEST_F(NetworkTest, NetworkMessagesDropTheUnconfirmedHeader) {
  TBACnetNPDU npdu = MakeNPDU(Octets({0x10, 0x00}));
  npdu.NetworkMessage = true;
  npdu.NetworkMessageType = 0;
  npdu.Broadcast = true;
  net.SendNPDU(npdu);
  npdu = MakeNPDU(Octets({0x10, 0x00, 0x35, 0x79}));
  npdu.NetworkMessage = true;
  npdu.NetworkMessageType = 1;
  net.SendNPDU(npdu);
  ASSERT_EQ(link.sent.size(), 2u);
  EXPECT_EQ(link.SentOctets(0), Octets({0x01, 0x80, 0x00}));
  EXPECT_TRUE(link.sent[0].Broadcast);
  EXPECT_EQ(link.SentOctets(1), Octets({0x01, 0x80, 0x01, 0x35, 0x79}));
}

TEST_F(NetworkTest, RemoteOverPointToPointCarriesSourceNetworkAndAddress) {
  link.point_to_point = true;
  net.SetParameter(kParamNetworkNumber, Variant(int32_t{13689}));
  net.SetParameter(kParamSourceAddress, Variant(int32_t{998}));
  net.AddRouter(5, "<Local>");
  TBACnetNPDU npdu = MakeNPDU(kAPDU);
  npdu.DestinationNetwork = 5;
  npdu.DestinationAddress = Octets({0x0C});
  npdu.ExpectingReply = true;
  net.SendNPDU(npdu);
  ASSERT_EQ(link.sent.size(), 1u);
  EXPECT_EQ(
      link.SentOctets(0),
      Octets({0x01, 0x2C, 0x00, 0x05, 0x01, 0x0C, 0x35, 0x79, 0x02, 0x03, 0xE6, 0xFF}) + kAPDU);
  EXPECT_TRUE(link.sent[0].DestinationAddress.empty());
}

TEST_F(NetworkTest, RemoteGoesThroughGivenRouterThenTableAndIsDroppedWithoutOne) {
  const std::string router = Octets({0x0A, 0, 0, 0x20, 0xBA, 0xC0});
  TBACnetNPDU npdu = MakeNPDU(kAPDU);
  npdu.DestinationNetwork = 0x1234;
  npdu.DestinationAddress = Octets({0x0A, 0, 1, 7, 0xBA, 0xC0});
  EXPECT_TRUE(net.SendNPDU(npdu));  // no router known: nothing sent, still true
  EXPECT_TRUE(link.sent.empty());
  EXPECT_TRUE(log.empty());

  npdu.RouterAddress = router;
  net.SendNPDU(npdu);
  ASSERT_EQ(link.sent.size(), 1u);
  EXPECT_EQ(link.SentOctets(0),
            Octets({0x01, 0x20, 0x12, 0x34, 0x06, 0x0A, 0, 1, 7, 0xBA, 0xC0, 0xFF}) + kAPDU);
  EXPECT_EQ(link.sent[0].DestinationAddress, router);

  const std::string learned = Octets({0x0A, 0, 0, 0x21, 0xBA, 0xC0});
  net.AddRouter(0x1234, learned);
  npdu.RouterAddress.Clear();
  net.SendNPDU(npdu);
  ASSERT_EQ(link.sent.size(), 2u);
  EXPECT_EQ(link.sent[1].DestinationAddress, learned);
}

TEST_F(NetworkTest, APDUThatNoLongerFitsWithItsHeaderIsNotSent) {
  link.point_to_point = true;  // the longest header: DNET, 22-octet DADR, SNET, SADR, hop count
  TBACnetNPDU npdu = MakeNPDU(std::string(kNPDUDataSize, 'x'));
  npdu.DestinationNetwork = 7;
  npdu.RouterAddress = Octets({1, 2, 3, 4, 5, 6});
  npdu.DestinationAddress = std::string(22, 'd');
  EXPECT_TRUE(net.SendNPDU(npdu));
  EXPECT_TRUE(link.sent.empty());
  npdu.DestinationNetwork = 0;
  net.SendNPDU(npdu);
  ASSERT_EQ(link.sent.size(), 1u);
  EXPECT_EQ(link.sent[0].Length, kNPDUDataSize + 2);
}

TEST_F(NetworkTest, IAmRouterToNetworkLearnsEachNetworkOnceAndDeliversNothing) {
  const std::string router = Octets({0xC0, 0xA8, 0x01, 0x01, 0xBA, 0xC0});
  link.Inject(Octets({0x01, 0x80, 0x01, 0x00, 0x05, 0x00, 0x07}), router);
  EXPECT_TRUE(received.empty());
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "Found Router to Network [05] at [C0][A8][01][01][BA][C0]");
  EXPECT_EQ(log[1], "Found Router to Network [07] at [C0][A8][01][01][BA][C0]");
  link.Inject(Octets({0x01, 0x80, 0x01, 0x00, 0x05, 0x35, 0x79}), Octets({1, 2, 3, 4, 5, 6}));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2], "Found Router to Network [3579] at [01][02][03][04][05][06]");
  std::string found;
  ASSERT_TRUE(net.FindRouter(5, found));
  EXPECT_EQ(found, router);
  ASSERT_EQ(net.RouterTable().size(), 3u);
}

TEST_F(NetworkTest, WhoIsRouterToNetworkDoesNotMakeTheAskerARouter) {
  link.Inject(Octets({0x01, 0x80, 0x00, 0x00, 0x05}), Octets({1, 2, 3, 4, 5, 6}));
  std::string found;
  EXPECT_FALSE(net.FindRouter(5, found));
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(received.empty());
}

// The driver's device sits on a virtual network (13689 here) behind us as its router.
class VirtualNetworkTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    net.SetParameter(kParamNetworkNumber, Variant(int32_t{13689}));
    net.SetParameter(kParamSourceAddress, Variant(int32_t{998}));
  }
  const std::string asker = Octets({10, 0, 0, 9, 0xBA, 0xC0});
};

TEST_F(VirtualNetworkTest, WhoIsRouterForAnyOrTheVirtualNetworkIsAnswered) {
  link.Inject(Octets({0x01, 0x80, 0x00}), asker);
  link.Inject(Octets({0x01, 0x80, 0x00, 0x35, 0x79}), asker);
  link.Inject(Octets({0x01, 0x80, 0x00, 0x00, 0x05}), asker);  // not ours to route
  ASSERT_EQ(link.sent.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(link.SentOctets(i), Octets({0x01, 0x80, 0x01, 0x35, 0x79}));
    EXPECT_TRUE(link.sent[i].Broadcast);
  }
  EXPECT_TRUE(received.empty());
}

TEST_F(VirtualNetworkTest, RequestsForTheVirtualNetworkAreTakenAndAnsweredFromIt) {
  // To our address on it (998 = 0x03E6), and to all of it.
  link.Inject(Octets({0x01, 0x24, 0x35, 0x79, 0x02, 0x03, 0xE6, 0xFF}) + kAPDU, asker);
  link.Inject(Octets({0x01, 0x20, 0x35, 0x79, 0x00, 0xFF}) + kAPDU, asker);
  // To another address on it, and to networks we do not route to: not ours.
  link.Inject(Octets({0x01, 0x24, 0x35, 0x79, 0x02, 0x03, 0xE7, 0xFF}) + kAPDU, asker);
  link.Inject(Octets({0x01, 0x24, 0x00, 0x05, 0x01, 0x0C, 0xFF}) + kAPDU, asker);
  link.Inject(Octets({0x01, 0x20, 0x00, 0x05, 0x00, 0xFF}) + kAPDU, asker);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].DestinationNetwork, 13689);
  EXPECT_FALSE(received[0].Broadcast);
  EXPECT_TRUE(received[1].Broadcast);

  // The reply says where it comes from, so that the asker can match it.
  TBACnetNPDU reply = MakeNPDU(kAPDU);
  MakeReplyAddressInfo(received[0], reply);
  net.SendNPDU(reply);
  ASSERT_EQ(link.sent.size(), 1u);
  EXPECT_EQ(link.SentOctets(0), Octets({0x01, 0x08, 0x35, 0x79, 0x02, 0x03, 0xE6}) + kAPDU);
  EXPECT_EQ(link.sent[0].DestinationAddress, asker);
  EXPECT_FALSE(link.sent[0].Broadcast);

  // An asker behind a router gets both headers, destination first.
  const std::string router = Octets({10, 0, 0, 1, 0xBA, 0xC0});
  link.Inject(
      Octets({0x01, 0x2C, 0x35, 0x79, 0x02, 0x03, 0xE6, 0x00, 0x07, 0x01, 0x21, 0xFE}) + kAPDU,
      router);
  ASSERT_EQ(received.size(), 3u);
  MakeReplyAddressInfo(received[2], reply);
  net.SendNPDU(reply);
  ASSERT_EQ(link.sent.size(), 2u);
  EXPECT_EQ(
      link.SentOctets(1),
      Octets({0x01, 0x28, 0x00, 0x07, 0x01, 0x21, 0x35, 0x79, 0x02, 0x03, 0xE6, 0xFF}) + kAPDU);
  EXPECT_EQ(link.sent[1].DestinationAddress, router);
}

TEST_F(NetworkTest, RouterOnTheLineItselfIsLoggedAsLocal) {
  net.AddRouter(0x20, "<local>");
  net.AddRouter(0x21, "");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "Found Router to Network [20] at <Local>");
  EXPECT_EQ(log[1], "Found Router to Network [21] at <Local>");
  std::string found = "x";
  ASSERT_TRUE(net.FindRouter(0x20, found));
  EXPECT_EQ(found, "");
}

TEST_F(NetworkTest, SourceNetworkIsDeliveredAndLearned) {
  const std::string router = Octets({0x0A, 0, 0, 0x20, 0xBA, 0xC0});
  link.Inject(Octets({0x01, 0x08, 0x00, 0x05, 0x01, 0x0C}) + kAPDU, router);
  ASSERT_EQ(received.size(), 1u);
  const TBACnetNPDU& n = received[0];
  EXPECT_TRUE(n.SourceNetworkPresent);
  EXPECT_EQ(n.SourceNetwork, 5);
  EXPECT_EQ(n.SourceAddress, Octets({0x0C}));
  EXPECT_EQ(n.DestinationNetwork, 0);
  EXPECT_EQ(Received(0), kAPDU);
  std::string found;
  ASSERT_TRUE(net.FindRouter(5, found));
  EXPECT_EQ(found, router);
  ASSERT_EQ(log.size(), 1u);
}

TEST_F(NetworkTest, DestinationHeaderIsParsedAndHopCountSkipped) {
  net.NetworkNumber = 9;
  net.SourceAddressValue = 0xABCD;
  link.Inject(Octets({0x01, 0x25, 0xFF, 0xFF, 0x00, 0x0F}) + kAPDU, Octets({1, 2, 3, 4, 5, 6}));
  link.Inject(
      Octets({0x01, 0x2E, 0x00, 0x09, 0x02, 0xAB, 0xCD, 0x00, 0x03, 0x01, 0x44, 0x10}) + kAPDU,
      Octets({1, 2, 3, 4, 5, 6}));
  ASSERT_EQ(received.size(), 2u);
  EXPECT_TRUE(received[0].Broadcast);
  EXPECT_EQ(received[0].DestinationNetwork, 65535);
  EXPECT_TRUE(received[0].ExpectingReply);
  EXPECT_EQ(received[0].Priority, 1);
  EXPECT_EQ(Received(0), kAPDU);
  EXPECT_EQ(received[1].DestinationNetwork, 9);
  EXPECT_EQ(received[1].RemoteDestinationAddress, Octets({0xAB, 0xCD}));
  EXPECT_EQ(received[1].SourceNetwork, 3);
  EXPECT_EQ(received[1].SourceAddress, Octets({0x44}));
  EXPECT_EQ(received[1].Priority, 2);
  EXPECT_EQ(Received(1), kAPDU);
}

TEST_F(NetworkTest, WrongVersionAndEmptySourceAddressAreDropped) {
  link.Inject(Octets({0x02, 0x00}) + kAPDU, "x");
  link.Inject(Octets({0x01, 0x08, 0x00, 0x05, 0x00}) + kAPDU, Octets({1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(received.empty());
}

TEST_F(NetworkTest, EveryTruncatedHeaderIsDroppedCleanly) {
  net.NetworkNumber = 5;
  net.SourceAddressValue = 0x0C0D;
  const std::string full =
      Octets({0x01, 0x2C, 0x00, 0x05, 0x02, 0x0C, 0x0D, 0x35, 0x79, 0x02, 0x03, 0xE6, 0xFF});
  for (size_t cut = 0; cut < full.size(); ++cut) {
    link.Inject(full.substr(0, cut), Octets({1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(received.empty()) << "cut at " << cut;
  }
  link.Inject(full, Octets({1, 2, 3, 4, 5, 6}));
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].Length, 0);
}

TEST_F(NetworkTest, FrameLengthBeyondTheRecordIsClamped) {
  TBACnetFrame frame;
  frame.Data[0] = 1;
  frame.Length = 1 << 30;
  net.ReceiveFrame(frame);
  frame.Length = -5;
  net.ReceiveFrame(frame);
  EXPECT_TRUE(received.empty());  // 2078 octets of APDU do not fit an NPDU record
}

TEST_F(NetworkTest, ParametersAndLimitsPassThroughTheLink) {
  net.SetParameter(kParamMaxInfoFrames, Variant(int32_t{1}));
  net.SetParameter(kParamNetworkNumber, Variant("not a number"));  // swallowed
  net.SetParameter(kParamNetworkNumber, Variant("321"));
  ASSERT_EQ(link.parameters.size(), 1u);
  EXPECT_EQ(link.parameters[0].first, 0);
  EXPECT_EQ(net.NetworkNumber, 321u);
  link.throw_on_set = true;
  net.SetParameter(kParamMaxMaster, Variant(int32_t{1}));  // swallowed

  Variant v(int32_t{7});
  net.GetParameter(0, v);
  EXPECT_EQ(v, Variant(int32_t{7}));
  net.GetParameter(kParamLocalAddress, v);
  EXPECT_EQ(v.AsTextRaw(), Octets({0x0A, 0, 0, 1, 0xBA, 0xC0}));

  link.MaxAPDULength = 1024;
  link.WindowLimit = 3;
  EXPECT_EQ(net.MaxAPDULength(), 1024);
  EXPECT_EQ(net.MaxAPDUCode(), 4);
  EXPECT_EQ(net.WindowLimit(), 3);
}

TEST(NetworkWithoutLink, ReportsNothingAndOpenFails) {
  TBACnetNetwork net;
  EXPECT_FALSE(net.Open(true));
  EXPECT_EQ(net.MaxAPDULength(), 0);
  EXPECT_EQ(net.MaxAPDUCode(), 0);
  EXPECT_EQ(net.WindowLimit(), 0);
  Variant v(int32_t{7});
  net.GetParameter(3, v);
  EXPECT_EQ(v, Variant(int32_t{7}));
  EXPECT_TRUE(net.SendNPDU(TBACnetNPDU{}));
}

TEST(NetworkOpen, ClearsTheRouterTableAndInstallsItsReceiver) {
  ScriptedLink link;
  TBACnetNetwork net;
  net.DataLink = &link;
  net.AddRouter(5, "r");
  link.open_result = false;
  EXPECT_FALSE(net.Open(true));
  EXPECT_TRUE(net.RouterTable().empty());
  EXPECT_TRUE(static_cast<bool>(link.OnReceive));
  EXPECT_FALSE(net.Open(false));
  EXPECT_EQ(link.opens, 2);
}

}  // namespace
}  // namespace zb::bacnet
