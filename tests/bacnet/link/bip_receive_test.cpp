// Datagram receipt of the BACnet/IP link, fed directly (no socket).
#include <gtest/gtest.h>

#include "bacnet/link/data_link_bip.h"

namespace zb::bacnet {
namespace {

std::string Octets(std::initializer_list<int> v) {
  std::string s;
  for (int c : v) s += static_cast<char>(c);
  return s;
}

class BIPReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    link.SetLocalHost("10.0.0.1");  // inactive socket: only the text is set
    link.LocalAddress = Octets({10, 0, 0, 1, 0xBA, 0xC0});
    link.OnReceive = [this](void* sender, const TBACnetFrame& f) {
      EXPECT_EQ(sender, &link);
      frames.push_back(f);
    };
  }
  std::string Data(size_t i) const {
    return std::string(reinterpret_cast<const char*>(frames.at(i).Data), frames.at(i).Length);
  }
  platform::MessageLoop loop;
  TBACnetDataLinkBIP link{loop};
  std::vector<TBACnetFrame> frames;
};

TEST_F(BIPReceive, OriginalBroadcastIsDeliveredWithSenderAndOwnAddress) {
  link.ReceiveDatagram(Octets({0x81, 0x0B, 0x00, 0x08, 0x01, 0x20, 0xFF, 0xFF}), "10.0.0.7", 47808);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].Broadcast);
  EXPECT_FALSE(frames[0].Forwarded);
  EXPECT_EQ(frames[0].Length, 4);
  EXPECT_EQ(Data(0), Octets({0x01, 0x20, 0xFF, 0xFF}));
  EXPECT_EQ(frames[0].SourceAddress, Octets({0x0A, 0x00, 0x00, 0x07, 0xBA, 0xC0}));
  EXPECT_EQ(frames[0].DestinationAddress, link.LocalAddress);
}

TEST_F(BIPReceive, OriginalUnicastIsDeliveredAndTrailingOctetsIgnored) {
  link.ReceiveDatagram(Octets({0x81, 0x0A, 0x00, 0x06, 0x01, 0x04, 0xEE, 0xEE}), "10.0.0.9", 47809);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_FALSE(frames[0].Broadcast);
  EXPECT_EQ(Data(0), Octets({0x01, 0x04}));
  EXPECT_EQ(frames[0].SourceAddress, Octets({0x0A, 0x00, 0x00, 0x09, 0xBA, 0xC1}));
}

TEST_F(BIPReceive, ForwardedNPDUComesFromTheOriginatingNode) {
  link.ReceiveDatagram(
      Octets({0x81, 0x04, 0x00, 0x0E, 0xC0, 0xA8, 0x01, 0x0A, 0xBA, 0xC0, 0x01, 0x00, 0x10, 0x08}),
      "10.0.0.2", 47808);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].Forwarded);
  EXPECT_EQ(frames[0].ForwardedFrom, "3232235786:47808");
  EXPECT_EQ(Data(0), Octets({0x01, 0x00, 0x10, 0x08}));
  // Answers go to the originator, not to the BBMD that forwarded it.
  EXPECT_EQ(frames[0].SourceAddress, Octets({192, 168, 1, 10, 0xBA, 0xC0}));
  // Our own datagram forwarded back to us is our echo.
  link.ReceiveDatagram(
      Octets({0x81, 0x04, 0x00, 0x0E, 10, 0, 0, 1, 0xBA, 0xC0, 0x01, 0x00, 0x10, 0x08}), "10.0.0.2",
      47808);
  EXPECT_EQ(frames.size(), 1u);
}

TEST_F(BIPReceive, OnlyOurOwnAddressAndPortIsOurEcho) {
  const std::string d = Octets({0x81, 0x0B, 0x00, 0x06, 0x01, 0x00});
  link.ReceiveDatagram(d, "10.0.0.1", 47808);
  EXPECT_TRUE(frames.empty());
  // Another program on this machine is a peer like any other.
  link.ReceiveDatagram(d, "10.0.0.1", 50000);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].SourceAddress, Octets({10, 0, 0, 1, 0xC3, 0x50}));
  link.SetLocalHost("host.EXAMPLE");
  link.ReceiveDatagram(d, "HOST.example", 47808);
  EXPECT_EQ(frames.size(), 1u);
}

TEST_F(BIPReceive, NonNPDUAndMalformedDatagramsDeliverNothing) {
  const char* from = "10.0.0.7";
  link.ReceiveDatagram(Octets({0x81, 0x00, 0x00, 0x06, 0x00, 0x00}), from, 47808);  // BVLC-Result
  link.ReceiveDatagram(Octets({0x81, 0x05, 0x00, 0x06, 0x00, 0x00}), from, 47808);  // registration
  link.ReceiveDatagram(Octets({0x82, 0x0A, 0x00, 0x06, 0x01, 0x00}), from, 47808);  // other type
  link.ReceiveDatagram(Octets({0x81, 0x0A, 0x00}), from, 47808);
  link.ReceiveDatagram(Octets({0x81, 0x0A, 0x00, 0x09, 0x01, 0x00}), from,
                       47808);  // longer than sent
  link.ReceiveDatagram(Octets({0x81, 0x0A, 0x00, 0x02, 0x01, 0x00}), from,
                       47808);  // shorter than header
  link.ReceiveDatagram(Octets({0x81, 0x04, 0x00, 0x0A, 1, 2, 3, 4, 5, 6}), from, 47808);
  link.ReceiveDatagram(Octets({0x81, 0x04, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7}), from, 47808);
  EXPECT_TRUE(frames.empty());
}

TEST_F(BIPReceive, EveryCutOfAValidDatagramIsRejected) {
  std::string d =
      Octets({0x81, 0x04, 0x00, 0x10, 10, 0, 0, 3, 0xBA, 0xC0, 0x01, 0x00, 0x10, 0x08, 0x09, 0x01});
  for (size_t cut = 0; cut < d.size(); ++cut) link.ReceiveDatagram(d.substr(0, cut), "10.0.0.7", 1);
  EXPECT_TRUE(frames.empty());
  link.ReceiveDatagram(d, "10.0.0.7", 1);
  EXPECT_EQ(frames.size(), 1u);
}

TEST_F(BIPReceive, LargestDatagramsFillTheRecordAndLargerOnesAreDropped) {
  std::string fits = Octets({0x81, 0x0A, (4 + kFrameDataSize) >> 8, (4 + kFrameDataSize) & 0xFF});
  fits += std::string(kFrameDataSize, '\x01');
  link.ReceiveDatagram(fits, "10.0.0.7", 1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].Length, kFrameDataSize);
  std::string big = Octets({0x81, 0x0A, (5 + kFrameDataSize) >> 8, (5 + kFrameDataSize) & 0xFF});
  big += std::string(kFrameDataSize + 1, '\x01');
  link.ReceiveDatagram(big, "10.0.0.7", 1);
  EXPECT_EQ(frames.size(), 1u);
}

TEST_F(BIPReceive, NothingIsParsedWithoutAReceiver) {
  link.OnReceive = nullptr;
  link.ReceiveDatagram(Octets({0x81, 0x0A, 0x00, 0x06, 0x01, 0x00}), "10.0.0.7", 47808);
  EXPECT_TRUE(frames.empty());
}

TEST(BIPLink, LimitsAndParameters) {
  platform::MessageLoop loop;
  TBACnetDataLinkBIP link(loop);
  EXPECT_EQ(link.MaxAPDULength, 1024);
  EXPECT_EQ(link.MaxAPDUCode(), 4);
  EXPECT_EQ(link.WindowLimit, 0);
  EXPECT_EQ(link.UDPPort(), 47808);
  EXPECT_FALSE(link.IsPointToPoint());
  link.SetLocalHost("192.168.1.10");
  Variant v(int32_t{5});
  link.GetParameter(0, v);
  EXPECT_EQ(v, Variant(int32_t{5}));
  link.GetParameter(3, v);
  EXPECT_EQ(v.AsTextRaw(), Octets({192, 168, 1, 10, 0xBA, 0xC0}));
  EXPECT_EQ(link.LocalAddress, v.AsTextRaw());
  link.SetLocalHost("10.x.3");  // parts that are not numbers count as 0
  link.GetParameter(3, v);
  EXPECT_EQ(v.AsTextRaw(), Octets({10, 0, 3, 0, 0xBA, 0xC0}));
  link.SetParameter(0, Variant(int32_t{1}));
  link.SetParameter(1, Variant(int32_t{1}));
  EXPECT_EQ(link.UDPPort(), 47808);
}

TEST(BIPLink, SendOnAnUnboundSocketKeepsTheErrorAndRaisesNothing) {
  platform::MessageLoop loop;
  TBACnetDataLinkBIP link(loop);
  std::vector<std::string> trace;
  link.OnTrace = [&](void*, const std::string& t, int) { trace.push_back(t); };
  TBACnetFrame f;
  f.DestinationAddress = Octets({10, 0, 0, 5});
  f.Length = 2;
  EXPECT_TRUE(link.Send(f));
  EXPECT_NE(link.LastError.find("BACnet/IP Error: ("), std::string::npos) << link.LastError;
  EXPECT_TRUE(trace.empty());
  EXPECT_EQ(link.TransmitQueue().Count(), 0);

  f.DestinationAddress = Octets({10, 0, 0x5D});
  EXPECT_TRUE(link.Send(f));
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0], "BadAddress: [0a][00][5d]");
}

TEST(BIPLink, SocketErrorIsKeptAsTextAndStopsReadiness) {
  platform::MessageLoop loop;
  TBACnetDataLinkBIP link(loop);
  std::vector<std::string> trace;
  link.OnTrace = [&](void*, const std::string& t, int) { trace.push_back(t); };
  link.ReadyToSend = true;
  ASSERT_TRUE(link.Socket().OnError);
  link.Socket().OnError(&link.Socket(), 10054, "Connection reset by peer");
  EXPECT_FALSE(link.ReadyToSend);
  EXPECT_EQ(link.LastError, "BACnet/IP Error: (10054) Connection reset by peer");
  EXPECT_TRUE(trace.empty());
}

TEST(BIPLink, UnusableLocalHostFailsTheOpenWithATrace) {
  platform::MessageLoop loop;
  TBACnetDataLinkBIP link(loop);
  std::vector<std::string> trace;
  link.OnTrace = [&](void*, const std::string& t, int) { trace.push_back(t); };
  link.SetLocalHost("not.an.address");
  EXPECT_FALSE(link.SetActive(true));
  EXPECT_FALSE(link.Active);
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0], "Execpt: Invalid local address not.an.address");
}

}  // namespace
}  // namespace zb::bacnet
