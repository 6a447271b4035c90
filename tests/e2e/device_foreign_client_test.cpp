// A foreign workstation (the independent peer) discovers our device, reads its Device object
// and writes a property, over BACnet/IP inside private network namespaces.
#include <gtest/gtest.h>

#include <iostream>

#include "device_stack.h"
#include "tests/common/peer.h"
#include "tests/common/udp_probe.h"
#include "tests/common/wire_capture.h"

namespace zb::bacnet::device_e2e {
namespace {

constexpr int kInstance = 4321;

class ForeignClient : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PeerInstalled()) GTEST_SKIP() << "npm peer not installed (tools/setup.sh)";
    net_ = std::make_unique<test::TestNetwork>(2);
    if (!net_->ok()) GTEST_SKIP() << net_->error();
    if (test::CaptureToolsInstalled()) {
      ASSERT_TRUE(capture_.Start(net_->HubName(), "p0"));
    }
    stack_ = std::make_unique<BIPDeviceStack>();
    stack_->dev.SetObjectIdentifier(kInstance);
    ASSERT_TRUE(
        peer_.Start("foreign_client.js", {"0.0.0.0", "47808", "255.255.255.255"}, net_->Name(1)));
    ASSERT_TRUE(peer_.WaitFor("\"listening\"", 15000, nullptr, stack_->loop))
        << peer_.TranscriptText();
    ASSERT_TRUE(stack_->Open(*net_, 0));
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
  // Sends a command about our device and returns the peer's answer line ("" on time-out).
  std::string Ask(const std::string& fields, const std::string& event) {
    peer_.Send(R"({"address":"10.47.0.1:47808","type":8,"instance":)" + std::to_string(kInstance) +
               "," + fields + "}");
    std::string line;
    for (int i = 0; i < 20 && peer_.ReadLine(line, 8000, stack_->loop); ++i) {
      if (line.find("\"event\":\"" + event + "\"") != std::string::npos) return line;
      if (line.find("\"failed\"") != std::string::npos) return line;
    }
    return "";
  }

  std::unique_ptr<test::TestNetwork> net_;
  std::unique_ptr<BIPDeviceStack> stack_;
  test::PeerProcess peer_;
  test::WireCapture capture_;
};

TEST_F(ForeignClient, DiscoversOurDeviceAndReadsItsDeviceObject) {
  peer_.Send(R"({"cmd":"whoIs"})");
  std::string line;
  ASSERT_TRUE(peer_.WaitFor("\"sent\"", 5000, nullptr, stack_->loop)) << peer_.TranscriptText();
  ASSERT_TRUE(peer_.WaitFor("\"iAm\"", 5000, &line, stack_->loop)) << peer_.TranscriptText();
  EXPECT_NE(line.find("\"deviceId\":" + std::to_string(kInstance)), std::string::npos) << line;
  EXPECT_NE(line.find("\"vendorId\":" + std::to_string(kStoredVendorIdentifier)), std::string::npos)
      << line;
  EXPECT_NE(line.find("10.47.0.1"), std::string::npos) << line;
  EXPECT_TRUE(stack_->Logged(" IN: [00]<[0a][2f][00][02][ba][c0]>[T:1] [S:8]"));

  line = Ask(R"("cmd":"read","property":77)", "read");
  EXPECT_NE(line.find("\"ZelBACnetServer\""), std::string::npos) << line;
  line = Ask(R"("cmd":"read","property":75)", "read");
  EXPECT_NE(line.find("\"type\":8,\"instance\":" + std::to_string(kInstance)), std::string::npos)
      << line;
  line = Ask(R"("cmd":"read","property":97)", "read");
  EXPECT_NE(line.find("\"bitsUsed\":40"), std::string::npos) << line;
  EXPECT_TRUE(stack_->Logged("READ"));
  EXPECT_TRUE(stack_->Logged("OUT: [T:0] [S:12]"));
}

TEST_F(ForeignClient, ReadsAllPropertiesWithReadPropertyMultiple) {
  const std::string line = Ask(R"("cmd":"readMultiple","properties":[8])", "readMultiple");
  ASSERT_NE(line.find("\"readMultiple\""), std::string::npos) << line << peer_.TranscriptText();
  for (int id :
       {10, 11, 12, 28, 44, 62, 75, 76, 77, 79, 96, 97, 98, 107, 112, 120, 121, 139, 155, 167, 168})
    EXPECT_NE(line.find("\"id\":" + std::to_string(id) + ","), std::string::npos) << id;
  EXPECT_NE(line.find("\"ZelBACnetServer\""), std::string::npos);
  EXPECT_NE(line.find("\"Tarnwell\""), std::string::npos);
  EXPECT_NE(line.find("\"" + std::to_string(kStoredVendorIdentifier) + "-\""), std::string::npos);
  EXPECT_TRUE(stack_->Logged("ReadMultiple: "));
}

TEST_F(ForeignClient, LongAnswerComesInSegmentsTheClientReassembles) {
  // 206-octet APDUs: the whole Device object takes several segments.
  const std::string line =
      Ask(R"("cmd":"readMultiple","properties":[8],"maxApdu":2)", "readMultiple");
  ASSERT_NE(line.find("\"readMultiple\""), std::string::npos) << line << peer_.TranscriptText();
  for (int id : {10, 77, 97, 121, 168})
    EXPECT_NE(line.find("\"id\":" + std::to_string(id) + ","), std::string::npos) << id;
  EXPECT_NE(line.find("\"" + std::to_string(kStoredVendorIdentifier) + "-\""), std::string::npos);
  // It really was longer than one APDU.
  int length = 0;
  for (const auto& l : stack_->log)
    if (l.rfind("OUT: [T:0] [S:14] [L:", 0) == 0) length = std::stoi(l.substr(21));
  EXPECT_GT(length, 206);
}

TEST_F(ForeignClient, WriteIsRefusedUnlessAnOwnerTakesIt) {
  const std::string write =
      R"("cmd":"write","property":28,"value":{"type":7,"value":"Plant room"},"priority":8)";
  std::string line = Ask(write, "written");
  EXPECT_NE(line.find("Class:2 - Code:40"), std::string::npos) << line << peer_.TranscriptText();
  EXPECT_TRUE(stack_->Logged("Write Property"));

  struct Written {
    int type = -1, instance = -1, property = -1, index = 0;
    std::string value;
  } got;
  stack_->dev.OnPropertyWrite = [&](void*, int t, int i, int p, int x, const Variant& v, int) {
    got = {t, i, p, x, v.ToText()};
  };
  line = Ask(write, "written");
  EXPECT_NE(line.find("\"written\""), std::string::npos) << line << peer_.TranscriptText();
  EXPECT_EQ(got.type, 8);
  EXPECT_EQ(got.instance, kInstance);
  EXPECT_EQ(got.property, 28);
  EXPECT_EQ(got.index, -1);
  EXPECT_EQ(got.value, "Plant room");
  EXPECT_TRUE(stack_->Logged("OUT: [T:0] [S:15] [L:0] Data: \r"));
}

}  // namespace
}  // namespace zb::bacnet::device_e2e
