// Published properties, Open and the broadcasts of the device object.
#include <gtest/gtest.h>

#include "device_test_stack.h"

namespace zb::bacnet::devtest {
namespace {

TEST(DeviceProperties, SettersClampToTheirRanges) {
  platform::MessageLoop loop;
  TBACnetDevice d(loop);
  EXPECT_EQ(d.APDUTimeout(), 3000);
  EXPECT_EQ(d.APDUSegmentTimeout(), 2000);
  EXPECT_EQ(d.NumberOfAPDURetries, 3);
  EXPECT_EQ(d.ObjectIdentifier(), 1);
  EXPECT_EQ(d.VendorIdentifier(), 0);
  EXPECT_EQ(d.MaxMaster(), 127);
  EXPECT_EQ(d.MaxInfoFrames(), 1);
  EXPECT_TRUE(d.ObjectName.empty());

  d.SetAPDUTimeout(50);
  EXPECT_EQ(d.APDUTimeout(), 100);
  d.SetAPDUSegmentTimeout(99);
  EXPECT_EQ(d.APDUSegmentTimeout(), 100);
  d.SetAPDUSegmentTimeout(250);
  EXPECT_EQ(d.APDUSegmentTimeout(), 250);
  d.SetObjectIdentifier(4194304);
  EXPECT_EQ(d.ObjectIdentifier(), 4194303);
  d.SetObjectIdentifier(0);
  EXPECT_EQ(d.ObjectIdentifier(), 1);
  d.SetObjectIdentifier(777);
  d.SetVendorIdentifier(65536);
  EXPECT_EQ(d.VendorIdentifier(), 65535);
  EXPECT_EQ(d.ObjectIdentifier(), 777);
  d.SetVendorIdentifier(-4);
  EXPECT_EQ(d.VendorIdentifier(), 1);
  d.SetMaxMaster(0);
  EXPECT_EQ(d.MaxMaster(), 1);
  d.SetMaxMaster(128);
  EXPECT_EQ(d.MaxMaster(), 127);
  d.SetMaxInfoFrames(128);
  EXPECT_EQ(d.MaxInfoFrames(), 127);
  d.SetMaxInfoFrames(-1);
  EXPECT_EQ(d.MaxInfoFrames(), 1);
  d.SetMaxInfoFrames(5);
  EXPECT_EQ(d.MaxInfoFrames(), 5);

  d.LoadStoredDefaults();
  EXPECT_EQ(d.ObjectIdentifier(), 998);
  EXPECT_EQ(d.ObjectName, "ZelBACnetServer");
  EXPECT_EQ(d.VendorName, "Tarnwell");
  EXPECT_EQ(d.ApplicationSoftwareVersion, "1.6");
  EXPECT_EQ(d.Description, "BACnet Server");
  EXPECT_EQ(d.FirmwareRevision, "0");
  EXPECT_EQ(d.VendorIdentifier(), kStoredVendorIdentifier);
}

TEST(DeviceOpen, WithoutApplicationFailsAndSendsNothing) {
  DeviceStack s;
  s.dev.App = nullptr;
  EXPECT_FALSE(s.dev.Open(true));
  EXPECT_EQ(s.net.open_count, 0);
  EXPECT_TRUE(s.net.sent.empty());
  EXPECT_TRUE(s.traces.empty());
}

TEST(DeviceOpen, PassesSettingsDownAnnouncesAndAsks) {
  DeviceStack s;
  s.dev.LoadStoredDefaults();
  s.dev.SetAPDUTimeout(4000);
  s.dev.SetAPDUSegmentTimeout(1500);
  s.dev.NumberOfAPDURetries = 1;
  s.dev.SetMaxInfoFrames(3);
  s.dev.SetMaxMaster(64);
  s.dev.NetworkNumber = 13689;
  ASSERT_TRUE(s.dev.Open(true));
  EXPECT_EQ(s.app.APDUTimeout, 4000);
  EXPECT_EQ(s.app.APDUSegmentTimeout, 1500);
  EXPECT_EQ(s.app.APDURetries, 1);
  EXPECT_EQ(s.net.params[0].ToInt(), 3);
  EXPECT_EQ(s.net.params[1].ToInt(), 64);
  EXPECT_EQ(s.net.params[4].ToInt(), 13689);
  EXPECT_EQ(s.net.params[5].ToInt(), 998);
  EXPECT_EQ(s.dev.LocalAddress, kOurMac);
  ASSERT_EQ(s.traces.size(), 1u);
  EXPECT_EQ(s.traces[0], "Connected");

  // I-Am first, then Who-Is, both global broadcasts from our address.
  ASSERT_EQ(s.net.sent.size(), 2u);
  const SentAPDU& iam = s.net.sent[0];
  EXPECT_EQ(iam.octets, Bytes({0x10, 0x00, 0xC4, 0x02, 0x00, 0x03, 0xE6, 0x22, 0x04, 0x00, 0x91,
                               0x00, 0x22, 0x02, 0x2B}));
  EXPECT_TRUE(iam.pdu.Broadcast);
  EXPECT_EQ(iam.pdu.DestinationNetwork, 65535);
  EXPECT_TRUE(iam.pdu.DestinationAddress.empty());
  EXPECT_EQ(iam.pdu.SourceAddress.str(), kOurMac);
  const SentAPDU& whois = s.net.sent[1];
  EXPECT_EQ(whois.octets, Bytes({0x10, 0x08}));
  EXPECT_TRUE(whois.pdu.Broadcast);

  // Every successful open announces again.
  ASSERT_TRUE(s.dev.Open(true));
  EXPECT_EQ(s.net.sent.size(), 4u);
}

TEST(DeviceOpen, FailedOpenAndCloseReturnFalseAndSendNothing) {
  DeviceStack s;
  s.net.open_result = false;
  EXPECT_FALSE(s.dev.Open(true));
  EXPECT_TRUE(s.net.sent.empty());
  EXPECT_TRUE(s.traces.empty());
  s.net.open_result = true;
  EXPECT_FALSE(s.dev.Open(false));
  EXPECT_FALSE(s.net.open_calls_flag);
  EXPECT_TRUE(s.net.sent.empty());
}

TEST(DeviceBroadcasts, RouterMessagesAreNetworkLayerBroadcasts) {
  DeviceStack s;
  s.dev.NetworkNumber = 13689;  // 0x3579
  ASSERT_TRUE(s.Open());
  s.dev.SendWhoIsRouterToNetwork();
  s.dev.SendIAmRouterToNetwork();
  ASSERT_EQ(s.net.sent.size(), 2u);
  const TBACnetPDU& who = s.net.sent[0].pdu;
  EXPECT_TRUE(who.NetworkMessage);
  EXPECT_EQ(who.NetworkMessageType, 0);
  EXPECT_TRUE(who.Broadcast);
  // The network layer drops the two unconfirmed-request header octets in front.
  EXPECT_EQ(s.net.sent[0].octets.size(), 2u);
  const TBACnetPDU& iam = s.net.sent[1].pdu;
  EXPECT_TRUE(iam.NetworkMessage);
  EXPECT_EQ(iam.NetworkMessageType, 1);
  EXPECT_EQ(s.net.sent[1].octets.substr(2), Bytes({0x35, 0x79}));
}

TEST(DeviceBroadcasts, WhoIsIsAnsweredOnlyWhenTheInstanceIsInItsRange) {
  DeviceStack s;
  s.dev.SetObjectIdentifier(135);
  ASSERT_TRUE(s.Open());
  s.net.sent.clear();
  s.net.Receive(Bytes({0x10, 0x08}), kPeerMac, 0, true);
  s.net.Receive(Bytes({0x10, 0x08, 0x09, 0x01, 0x19, 0x05}), kPeerMac, 0, true);        // 1..5
  s.net.Receive(Bytes({0x10, 0x08, 0x09, 0x87, 0x19, 0x87}), kPeerMac, 0, true);        // 135..135
  s.net.Receive(Bytes({0x10, 0x08, 0x09, 0x64, 0x1A, 0x01, 0x00}), kPeerMac, 0, true);  // 100..256
  s.net.Receive(Bytes({0x10, 0x08, 0x09, 0x88, 0x1A, 0x01, 0x00}), kPeerMac, 0, true);  // 136..
  s.net.Receive(Bytes({0x10, 0x08, 0x09, 0x01}), kPeerMac, 0, true);  // half a range
  ASSERT_EQ(s.net.sent.size(), 3u);
  for (const auto& a : s.net.sent) {
    EXPECT_EQ(a.pdu.ServiceChoice, 0);
    EXPECT_EQ(a.octets.substr(2, 5), Bytes({0xC4, 0x02, 0x00, 0x00, 0x87}));
    EXPECT_TRUE(a.pdu.Broadcast);
    EXPECT_EQ(a.pdu.SourceNetwork, 0);
  }
}

TEST(DeviceBroadcasts, WhoIsOnTheVirtualNetworkIsAnsweredFromIt) {
  DeviceStack s;
  s.dev.SetObjectIdentifier(135);
  s.dev.NetworkNumber = 13689;
  ASSERT_TRUE(s.Open());
  s.net.sent.clear();
  TBACnetNPDU n;
  ClearNPDU(n);
  n.SourceAddress = kPeerMac;
  n.DestinationNetwork = 13689;
  n.Broadcast = true;
  const std::string whois = Bytes({0x10, 0x08});
  n.Length = 2;
  std::copy(whois.begin(), whois.end(), n.Data);
  s.net.OnReceive(&s.net, n);
  ASSERT_EQ(s.net.sent.size(), 1u);
  EXPECT_EQ(s.net.sent[0].pdu.SourceNetwork, 13689);
}

}  // namespace
}  // namespace zb::bacnet::devtest
