// Foreign-device registration of the BACnet/IP link: a BBMD played by raw datagrams from Annex J,
// its timing on the manual clock.
#include <gtest/gtest.h>

#include "bacnet/link/data_link_bip.h"
#include "tests/common/netns.h"
#include "tests/common/udp_probe.h"

namespace zb::bacnet {
namespace {

using test::Hex;
using test::RunLoopUntil;
using test::UdpProbe;

std::string Octets(std::initializer_list<int> v) {
  std::string s;
  for (int c : v) s += static_cast<char>(c);
  return s;
}

const std::string kNPDU = Octets({0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08});
const std::string kAck = Octets({0x81, 0x00, 0x00, 0x06, 0x00, 0x00});

TBACnetFrame Broadcast() {
  TBACnetFrame f;
  f.Broadcast = true;
  f.Length = static_cast<int>(kNPDU.size());
  std::copy(kNPDU.begin(), kNPDU.end(), f.Data);
  return f;
}

TEST(BBMDAddress, HostPortAndRefusals) {
  std::string host;
  int port = 0;
  EXPECT_TRUE(ParseBBMDAddress("10.1.2.3", host, port));
  EXPECT_EQ(host, "10.1.2.3");
  EXPECT_EQ(port, 47808);
  EXPECT_TRUE(ParseBBMDAddress(" bbmd.site:47809 ", host, port));
  EXPECT_EQ(host, "bbmd.site");
  EXPECT_EQ(port, 47809);
  for (const char* bad : {"", "  ", ":47808", "h:", "h:0", "h:65536", "h:12x", "h:999999"})
    EXPECT_FALSE(ParseBBMDAddress(bad, host, port)) << bad;
}

TEST(ForeignDeviceTiming, RefreshAtHalfTheTimeToLiveAndRetryAfterALostAnswer) {
  platform::MessageLoop loop;
  platform::ManualClock clock;
  clock.auto_advance = false;
  loop.SetClock(&clock);
  TForeignDeviceRegistration r(loop);
  std::vector<std::string> sent, log;
  int settled = 0;
  r.OnSend = [&](const std::string& m) { sent.push_back(m); };
  r.OnLog = [&](const std::string& t) { log.push_back(t); };
  r.OnSettled = [&] { ++settled; };
  r.Peer = "10.0.0.9:47808";
  r.SetTimeToLive(60);
  r.Start();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Hex(sent[0]), "81 05 00 06 00 3c");
  EXPECT_FALSE(r.Settled());

  r.HandleResult(kBVLCResultSuccess);
  EXPECT_TRUE(r.Registered());
  EXPECT_EQ(settled, 1);
  loop.AdvanceClock(29999);
  EXPECT_EQ(sent.size(), 1u);
  loop.AdvanceClock(1);
  EXPECT_EQ(sent.size(), 2u) << "refreshed at half the time-to-live";

  // The refresh answer is lost: logged once, and asked again soon, long before the entry ends.
  loop.AdvanceClock(3000);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1], "BBMD 10.0.0.9:47808: no answer to Register-Foreign-Device");
  EXPECT_TRUE(r.Registered()) << "the entry at the BBMD is still good";
  loop.AdvanceClock(3000);
  EXPECT_EQ(sent.size(), 3u);
  loop.AdvanceClock(6000);
  EXPECT_EQ(sent.size(), 4u);
  EXPECT_EQ(log.size(), 2u) << "the same failure is not logged again";

  r.HandleResult(kBVLCResultRegisterNAK);
  EXPECT_FALSE(r.Registered());
  EXPECT_EQ(log.back(), "BBMD 10.0.0.9:47808: Register-Foreign-Device NAK, result code 0x0030");
  loop.AdvanceClock(30000);
  EXPECT_EQ(sent.size(), 5u);
  r.HandleResult(kBVLCResultSuccess);

  // A refused broadcast means the BBMD forgot us: register at once.
  r.HandleResult(kBVLCResultDistributeNAK);
  EXPECT_FALSE(r.Registered());
  EXPECT_EQ(sent.size(), 6u);

  EXPECT_TRUE(r.Stop());
  loop.AdvanceClock(600000);
  EXPECT_EQ(sent.size(), 6u);
  EXPECT_EQ(settled, 1);
}

TEST(ForeignDeviceTiming, AFirstAnswerLostSettlesUnregisteredAndShortTTLsStillRefresh) {
  platform::MessageLoop loop;
  platform::ManualClock clock;
  clock.auto_advance = false;
  loop.SetClock(&clock);
  TForeignDeviceRegistration r(loop);
  int sent = 0, settled = 0;
  r.OnSend = [&](const std::string&) { ++sent; };
  r.OnSettled = [&] { ++settled; };
  r.SetTimeToLive(1);
  EXPECT_EQ(r.RefreshMs(), 1000);
  EXPECT_EQ(r.AnswerWaitMs(), 1000);
  r.Start();
  loop.AdvanceClock(1000);
  EXPECT_EQ(settled, 1);
  EXPECT_FALSE(r.Registered());
  r.SetTimeToLive(0);
  EXPECT_EQ(r.TimeToLive(), 1);
  r.SetTimeToLive(100000);
  EXPECT_EQ(r.TimeToLive(), 65535);
  EXPECT_EQ(Hex(TForeignDeviceRegistration::DeleteMessage(Octets({10, 0, 0, 1, 0xBA, 0xC0}))),
            "81 08 00 0a 0a 00 00 01 ba c0");
  EXPECT_EQ(sent, 1);
}

// The link on sockets: host 0 is the driver, host 1 the BBMD (10.47.0.2:47809) and a listener
// for local broadcasts.
class BIPForeignDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    clock.auto_advance = false;
    loop.SetClock(&clock);
    net = std::make_unique<test::TestNetwork>(2);
    if (!net->ok()) GTEST_SKIP() << net->error();
    link = std::make_unique<TBACnetDataLinkBIP>(loop);
    link->OnTrace = [this](void*, const std::string& t, int channel) {
      (channel == 3 ? log : trace).push_back(t);
    };
    link->OnReceive = [this](void*, const TBACnetFrame& f) { frames.push_back(f); };
    link->OnCapture = [this](const TCapturedPacket& p) { captured.push_back(p); };
    net->In(1, [&] {
      bbmd = std::make_unique<UdpProbe>("10.47.0.2", 47809);
      local = std::make_unique<UdpProbe>("0.0.0.0", 47808);
    });
    ASSERT_TRUE(bbmd->ok() && local->ok());
  }
  void Open() {
    net->In(0, [&] {
      link->SetLocalHost("10.47.0.1");
      ASSERT_TRUE(link->SetActive(true));
    });
  }
  std::string FromBBMDSide() {
    std::string got;
    return bbmd->Receive(got, 2000) ? got : "<nothing>";
  }
  bool Logged(const std::string& text) const {
    for (const auto& l : log)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

  platform::MessageLoop loop;
  platform::ManualClock clock;
  std::unique_ptr<test::TestNetwork> net;
  std::unique_ptr<TBACnetDataLinkBIP> link;
  std::unique_ptr<UdpProbe> bbmd, local;
  std::vector<std::string> trace, log;
  std::vector<TBACnetFrame> frames;
  std::vector<TCapturedPacket> captured;
};

TEST_F(BIPForeignDevice, RegistersThenBroadcastsThroughTheBBMDAndDeletesItsEntryOnClose) {
  link->SetForeignDevice("10.47.0.2:47809", 120);
  Open();
  EXPECT_EQ(Hex(FromBBMDSide()), "81 05 00 06 00 78");

  // Held until the BBMD answers, so that the first Who-Is is not refused.
  ASSERT_TRUE(link->Send(Broadcast()));
  std::string got;
  EXPECT_FALSE(bbmd->Receive(got, 100));
  bbmd->SendTo("10.47.0.1", 47808, kAck);
  ASSERT_TRUE(RunLoopUntil([&] { return link->Registration().Registered(); }, 2000, loop));
  EXPECT_TRUE(Logged("BBMD 10.47.0.2:47809: registered as foreign device, time-to-live 120 s"));
  EXPECT_EQ(Hex(FromBBMDSide()), Hex(Octets({0x81, 0x09, 0x00, 0x0C}) + kNPDU));
  ASSERT_TRUE(link->Send(Broadcast()));
  EXPECT_EQ(Hex(FromBBMDSide()), Hex(Octets({0x81, 0x09, 0x00, 0x0C}) + kNPDU));
  EXPECT_FALSE(local->Receive(got, 100)) << "no local broadcast while registered";

  // A Forwarded-NPDU is answered to the device that sent it.
  bbmd->SendTo("10.47.0.1", 47808,
               Octets({0x81, 0x04, 0x00, 0x0E, 10, 48, 0, 7, 0xBA, 0xC0}) +
                   Octets({0x01, 0x00, 0x10, 0x08}));
  ASSERT_TRUE(RunLoopUntil([&] { return !frames.empty(); }, 2000, loop));
  EXPECT_EQ(Hex(frames[0].SourceAddress.str()), "0a 30 00 07 ba c0");
  EXPECT_TRUE(frames[0].Forwarded);
  // Our own broadcast passed back to us is dropped.
  bbmd->SendTo("10.47.0.1", 47808,
               Octets({0x81, 0x04, 0x00, 0x0E, 10, 47, 0, 1, 0xBA, 0xC0}) +
                   Octets({0x01, 0x00, 0x10, 0x08}));
  test::RunLoopFor(200, loop);
  EXPECT_EQ(frames.size(), 1u);

  loop.AdvanceClock(60000);
  EXPECT_EQ(Hex(FromBBMDSide()), "81 05 00 06 00 78") << "refresh";
  bbmd->SendTo("10.47.0.1", 47808, kAck);
  test::RunLoopFor(200, loop);

  link->SetActive(false);
  EXPECT_EQ(Hex(FromBBMDSide()), "81 08 00 0a 0a 2f 00 01 ba c0");
  loop.AdvanceClock(600000);
  EXPECT_FALSE(bbmd->Receive(got, 100)) << "no registration after the close";

  // Every datagram went through the capture hook with its real addresses.
  ASSERT_GE(captured.size(), 7u);
  EXPECT_TRUE(captured[0].Outgoing);
  EXPECT_EQ(captured[0].LocalIP, 0x0A2F0001u);
  EXPECT_EQ(captured[0].RemoteIP, 0x0A2F0002u);
  EXPECT_EQ(captured[0].RemotePort, 47809);
  EXPECT_EQ(captured[0].LocalPort, 47808);
  EXPECT_EQ(Hex(captured[0].Octets), "81 05 00 06 00 78");
  EXPECT_FALSE(captured[1].Outgoing);
  EXPECT_EQ(Hex(captured[1].Octets), Hex(kAck));
  EXPECT_GT(captured[1].TimeUs, 1'600'000'000'000'000);
}

TEST_F(BIPForeignDevice, ANAKIsLoggedWithAddressAndCodeAndBroadcastsStayLocal) {
  link->SetForeignDevice("10.47.0.2:47809", 0);
  Open();
  EXPECT_EQ(Hex(FromBBMDSide()), "81 05 00 06 01 2c") << "300 s by default";
  ASSERT_TRUE(link->Send(Broadcast()));
  bbmd->SendTo("10.47.0.1", 47808, Octets({0x81, 0x00, 0x00, 0x06, 0x00, 0x30}));
  ASSERT_TRUE(RunLoopUntil([&] { return link->Registration().Settled(); }, 2000, loop));
  std::string got;
  ASSERT_TRUE(local->Receive(got, 2000)) << "released as a local broadcast";
  EXPECT_EQ(Hex(got), Hex(Octets({0x81, 0x0B, 0x00, 0x0C}) + kNPDU));
  EXPECT_TRUE(Logged("BBMD 10.47.0.2:47809: Register-Foreign-Device NAK, result code 0x0030"));
  EXPECT_FALSE(link->Registration().Registered());
  // A result from anyone but the BBMD changes nothing.
  local->SendTo("10.47.0.1", 47808, kAck);
  test::RunLoopFor(200, loop);
  EXPECT_FALSE(link->Registration().Registered());
}

TEST_F(BIPForeignDevice, SilentBBMDReleasesHeldBroadcastsAndAnUnusableAddressIsLogged) {
  link->SetForeignDevice("10.47.0.2:47809", 300);
  Open();
  FromBBMDSide();
  ASSERT_TRUE(link->Send(Broadcast()));
  loop.AdvanceClock(3000);
  std::string got;
  ASSERT_TRUE(local->Receive(got, 2000));
  EXPECT_TRUE(Logged("BBMD 10.47.0.2:47809: no answer to Register-Foreign-Device"));
  link->SetActive(false);

  log.clear();
  link->SetForeignDevice("10.47.0.2:0", 300);
  net->In(0, [&] { ASSERT_TRUE(link->SetActive(true)); });
  EXPECT_TRUE(Logged("BBMD 10.47.0.2:0: not a usable address"));
  EXPECT_FALSE(link->Registration().Started());
  ASSERT_TRUE(link->Send(Broadcast()));
  ASSERT_TRUE(local->Receive(got, 2000));
}

}  // namespace
}  // namespace zb::bacnet
