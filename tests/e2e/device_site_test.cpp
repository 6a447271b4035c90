// Our device as a client of a site device played by the independent peer: binding from its
// I-Am, reads, writes with priority, a range read of a log buffer, an error answer, an event
// notification, and a request that is never answered.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "bacnet/app/event_notification.h"
#include "bacnet/app/last_failure.h"
#include "bacnet/app/point_address.h"
#include "bacnet/app/tag_codec.h"
#include "device_stack.h"
#include "tests/common/peer.h"
#include "tests/common/udp_probe.h"
#include "tests/common/wire_capture.h"

namespace zb::bacnet::device_e2e {
namespace {

constexpr int kSiteInstance = 1001;

std::string Real(float v) {
  uint32_t bits = 0;
  std::memcpy(&bits, &v, 4);
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((bits >> shift) & 0xFF);
  return s;
}

Variant Req(std::vector<Variant> items) { return Variant::MakeList(std::move(items)); }

class SiteDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PeerInstalled()) GTEST_SKIP() << "npm peer not installed (tools/setup.sh)";
    net_ = std::make_unique<test::TestNetwork>(2);
    if (!net_->ok()) GTEST_SKIP() << net_->error();
    if (test::CaptureToolsInstalled()) {
      ASSERT_TRUE(capture_.Start(net_->HubName(), "p0"));
    }
    stack_ = std::make_unique<BIPDeviceStack>();
    // Short time-outs keep the unanswered request quick; the peer answers within milliseconds.
    stack_->dev.SetAPDUTimeout(1000);
    stack_->dev.NumberOfAPDURetries = 1;
    ASSERT_TRUE(peer_.Start("site_device.js",
                            {"0.0.0.0", "47808", "255.255.255.255", std::to_string(kSiteInstance)},
                            net_->Name(1)));
    ASSERT_TRUE(peer_.WaitFor("\"listening\"", 15000, nullptr, stack_->loop))
        << peer_.TranscriptText();
    // Open sends I-Am and then Who-Is; the site device answers the Who-Is.
    ASSERT_TRUE(stack_->Open(*net_, 0));
    ASSERT_TRUE(
        test::RunLoopUntil([&] { return !stack_->dev.Bindings().empty(); }, 5000, stack_->loop))
        << peer_.TranscriptText();
    const TBACnetBinding& b = stack_->dev.Bindings()[0];
    site_ = b;
  }
  void TearDown() override {
    if (peer_.Running()) peer_.Send(R"({"cmd":"quit"})");
    peer_.Kill();
    stack_.reset();
    if (capture_.Running()) {
      const test::CaptureSummary s = capture_.Stop();
      EXPECT_TRUE(s.ok) << s.Text();
      EXPECT_EQ(s.malformed, 0) << s.Text();
      std::cout << s.Text() << "\n";
    }
    net_.reset();
  }
  // The object address the session makes from the binding.
  std::string Object(int type, int instance) const {
    return FormatObjectAddress(type, instance, site_.Network, site_.Address.view());
  }

  std::unique_ptr<test::TestNetwork> net_;
  std::unique_ptr<BIPDeviceStack> stack_;
  test::PeerProcess peer_;
  test::WireCapture capture_;
  TBACnetBinding site_;
};

TEST_F(SiteDevice, IsBoundFromItsIAm) {
  EXPECT_EQ(site_.ObjectType, 8);
  EXPECT_EQ(site_.Instance, kSiteInstance);
  EXPECT_EQ(site_.Network, 0);
  EXPECT_EQ(site_.Address.str(), BIPAddress("10.47.0.2"));
  EXPECT_EQ(site_.Segmentation, 3);
  EXPECT_EQ(site_.Vendor, 260);
  EXPECT_GE(site_.MaxAPDU, 480);
  EXPECT_EQ(stack_->dev.Bindings().size(), 1u);
}

TEST_F(SiteDevice, ReadsValuesAndAnArrayElementAndWritesWithPriority) {
  const std::string av = Object(2, 1);
  int response = 0;
  Variant values;
  stack_->dev.ReadSync(Req({av, "85"}), response, values);
  ASSERT_EQ(response, 3);
  EXPECT_DOUBLE_EQ(values[3][2].ToReal(), 21.5);
  stack_->dev.ReadSync(Req({av, "117"}), response, values);
  ASSERT_EQ(response, 3);
  EXPECT_EQ(values[3][1].ToInt(), kAppTagEnumerated);
  EXPECT_EQ(values[3][2].ToInt(), 62);

  // Written by our own encoding: REAL at priority 10.
  response = 0;
  EXPECT_EQ(stack_->dev.WriteSync(Req({av, "85", "30.5"}), response), 2);
  std::string line;
  ASSERT_TRUE(peer_.WaitFor("\"write\"", 5000, &line, stack_->loop)) << peer_.TranscriptText();
  EXPECT_NE(line.find("\"value\":30.5"), std::string::npos) << line;
  EXPECT_NE(line.find("\"priority\":10"), std::string::npos) << line;

  // Pre-encoded value with priority 8, then that element of the priority array.
  const std::string value =
      Bytes(0x3E) + Bytes(0x44) + Real(31) + Bytes(0x3F) + Bytes(0x49) + Bytes(0x08);
  response = 0;
  EXPECT_EQ(stack_->dev.WriteEncodedSync(Req({av, "85"}), value, response), 2);
  ASSERT_TRUE(peer_.WaitFor("\"write\"", 5000, &line, stack_->loop)) << peer_.TranscriptText();
  EXPECT_NE(line.find("\"priority\":8"), std::string::npos) << line;
  stack_->dev.ReadSync(Req({av, "87", "8"}), response, values);
  ASSERT_EQ(response, 3);
  EXPECT_DOUBLE_EQ(values[4][2].ToReal(), 31);
  stack_->dev.ReadSync(Req({av, "85"}), response, values);
  EXPECT_DOUBLE_EQ(values[3][2].ToReal(), 31);
}

TEST_F(SiteDevice, RangeReadsALogBuffer) {
  // By position: reference index 1, count 3.
  const std::string range =
      Bytes(0x3E) + Bytes(0x21) + Bytes(0x01) + Bytes(0x31) + Bytes(0x03) + Bytes(0x3F);
  int response = 0;
  Variant values;
  stack_->dev.ReadRangeSync(Req({Object(20, 1), "131", range}), response, values);
  ASSERT_EQ(response, 3) << peer_.TranscriptText();
  ASSERT_TRUE(values.IsArray());
  int dates = 0, reals = 0;
  for (int i = 0; i < values.Count(); ++i) {
    const Variant& e = values[i];
    if (!e.IsArray()) continue;
    if (e[0].ToInt() == 1 && e[1].ToInt() == kAppTagDate) ++dates;
    if (e[0].ToInt() == 2 && e[1].ToInt() == 2 && e[2].ToText().size() == 4) ++reals;
  }
  EXPECT_EQ(dates, 3);
  EXPECT_EQ(reals, 3);
  ASSERT_TRUE(peer_.WaitFor("\"readRange\"", 5000, nullptr, stack_->loop))
      << peer_.TranscriptText();
}

TEST_F(SiteDevice, UnknownObjectIsAnErrorWithItsText) {
  int response = 0;
  Variant values;
  stack_->dev.ReadSync(Req({Object(2, 99), "85"}), response, values);
  EXPECT_EQ(response, 5);
  EXPECT_EQ(LastFailure().LastErrorKind, kLastErrorError);
  EXPECT_EQ(LastErrorText(), "Error Class: object (1) - Reason: unknown-object (31)");
  EXPECT_TRUE(stack_->Logged("Error Class: object (1) - Reason: unknown-object (31)"));
}

TEST_F(SiteDevice, EventNotificationReachesTheOwner) {
  std::vector<TEventNotification> got;
  std::string source;
  stack_->dev.OnNotificationReceived = [&](void*, const TBACnetPDU& pdu) {
    got.push_back(DecodeEventNotification(pdu.Values));
    source = pdu.SourceAddress.str();
  };
  peer_.Send(R"({"cmd":"notify","address":"10.47.0.1:47808"})");
  ASSERT_TRUE(test::RunLoopUntil([&] { return !got.empty(); }, 5000, stack_->loop))
      << peer_.TranscriptText();
  const TEventNotification& n = got[0];
  EXPECT_EQ(source, BIPAddress("10.47.0.2"));
  EXPECT_EQ(n.ProcessIdentifier, 77u);
  EXPECT_EQ(n.InitiatingObjectType, 8);
  EXPECT_EQ(n.InitiatingInstance, kSiteInstance);
  EXPECT_EQ(n.EventObjectType, 2);
  EXPECT_EQ(n.EventInstance, 1);
  EXPECT_EQ(n.EventType, 5u);
  EXPECT_EQ(n.MessageText, "Boiler hot");
  EXPECT_EQ(n.NotifyType, 0u);
  EXPECT_TRUE(n.AckRequired);
  EXPECT_EQ(n.ToState, 3u);
  ASSERT_EQ(n.TimeStampDate.size(), 4u);
  EXPECT_EQ(n.TimeStampDate.substr(0, 3), Bytes(126) + Bytes(12) + Bytes(8));
  EXPECT_GT(n.TimeStamp, 0);
  EXPECT_TRUE(n.HasExceedingValue);
  EXPECT_DOUBLE_EQ(n.ExceedingValue, 85.5);
  EXPECT_TRUE(stack_->Logged(" IN: [00]<[0a][2f][00][02][ba][c0]>[T:1] [S:3]"));
}

TEST_F(SiteDevice, UnansweredRequestFailsAfterTheRetries) {
  int response = 0;
  Variant values;
  const auto start = std::chrono::steady_clock::now();
  stack_->dev.ReadSync(Req({Object(2, 666), "85"}), response, values);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(response, 5);
  EXPECT_EQ(LastErrorText(), "Error Class: device (0) - Reason: other (0)");
  EXPECT_GE(waited, std::chrono::milliseconds(2000));
  // The request and one resend reached the peer.
  std::string line;
  ASSERT_TRUE(peer_.WaitFor("\"ignored\"", 3000, &line, stack_->loop)) << peer_.TranscriptText();
  ASSERT_TRUE(peer_.WaitFor("\"ignored\"", 3000, &line, stack_->loop)) << peer_.TranscriptText();
  EXPECT_EQ(stack_->dev.PendingCount(), 0);
}

}  // namespace
}  // namespace zb::bacnet::device_e2e
