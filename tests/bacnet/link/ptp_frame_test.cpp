#include "bacnet/link/ptp_frame.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/common/ptp_peer.h"

namespace zb::bacnet {
namespace {

std::string Hex(std::initializer_list<int> octets) {
  std::string s;
  for (int o : octets) s += static_cast<char>(o);
  return s;
}

TEST(PTPFrame, ExampleFramesOctetForOctet) {
  EXPECT_EQ(BuildPTPFrameLogical(ptpHeartbeatXOn, ""), Hex({0x55, 0xFF, 0x01, 0x00, 0x00, 0x76}));
  EXPECT_EQ(BuildPTPFrameLogical(ptpConnectRequest, ""), Hex({0x55, 0xFF, 0x0C, 0x00, 0x00, 0x44}));
  EXPECT_EQ(BuildPTPFrameLogical(ptpDisconnectRequest, ""),
            Hex({0x55, 0xFF, 0x0E, 0x00, 0x00, 0x77}));
  EXPECT_EQ(BuildPTPFrameLogical(ptpDataAck0XOn, ""), Hex({0x55, 0xFF, 0x06, 0x00, 0x00, 0xBB}));
  EXPECT_EQ(BuildPTPFrameLogical(ptpData0, "abc"),
            Hex({0x55, 0xFF, 0x02, 0x00, 0x03, 0xDC, 0x61, 0x62, 0x63, 0x25, 0x9E}));
  // None of these needs escaping.
  EXPECT_EQ(BuildPTPFrame(ptpData0, "abc"), BuildPTPFrameLogical(ptpData0, "abc"));
}

TEST(PTPFrame, CRCsAgreeWithBitwiseDefinition) {
  for (int type = 0; type < 256; ++type)
    for (int len : {0, 1, 3, 0x10, 0x11, 0x13, 255, 256, 501, 502, 0x1011, 0xFFFF})
      ASSERT_EQ(PTPHeaderCRC(static_cast<uint8_t>(type), static_cast<uint16_t>(len)),
                test::RefHeaderCRC(static_cast<uint8_t>(type), static_cast<uint16_t>(len)))
          << type << " " << len;
  std::mt19937 rng(7);
  for (int n = 1; n <= 501; n += 7) {
    std::string data(static_cast<size_t>(n), '\0');
    for (char& c : data) c = static_cast<char>(rng());
    ASSERT_EQ(PTPDataCRC(data), test::RefDataCRC(data)) << n;
  }
}

TEST(PTPFrame, ReceiverResiduesOfGoodFrames) {
  // Running the update over the octets and the sent CRC leaves the fixed residues.
  uint8_t h = 0xFF;
  for (int o : {0x02, 0x00, 0x03, 0xDC}) h = PTPHeaderCRCUpdate(static_cast<uint8_t>(o), h);
  EXPECT_EQ(h, kPTPHeaderCRCGood);
  uint16_t d = 0xFFFF;
  for (int o : {0x61, 0x62, 0x63, 0x25, 0x9E}) d = PTPDataCRCUpdate(static_cast<uint8_t>(o), d);
  EXPECT_EQ(d, kPTPDataCRCGood);
}

TEST(PTPFrame, EscapesDleXonXoffEverywhereAfterPreamble) {
  EXPECT_EQ(BuildPTPFrame(ptpData0, Hex({0x10, 0x11, 0x13, 0x12})),
            test::RefWireFrame(ptpData0, Hex({0x10, 0x11, 0x13, 0x12})));
  std::string wire = BuildPTPFrame(ptpData1, Hex({0x10}));
  EXPECT_NE(wire.find(Hex({0x10, 0x90})), std::string::npos);
  // A length of 16 puts 0x10 into the header.
  std::string sixteen(16, 'x');
  wire = BuildPTPFrame(ptpData0, sixteen);
  EXPECT_EQ(wire.substr(0, 6), Hex({0x55, 0xFF, 0x02, 0x00, 0x10, 0x90}));
  EXPECT_EQ(wire, test::RefWireFrame(ptpData0, sixteen));
  // Every octet value, every position: compare with the reference encoder.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(BuildPTPFrame(ptpTestRequest, all), test::RefWireFrame(ptpTestRequest, all));
  // The preamble itself is never escaped and no raw DLE/XON/XOFF follows it.
  for (size_t i = 2; i < wire.size(); ++i) {
    unsigned char c = wire[i];
    EXPECT_TRUE(c != 0x11 && c != 0x13);
  }
}

TEST(PTPFrame, NamesStayInsideTheTable) {
  EXPECT_EQ(PTPFrameName(0x00), "HeartbeatXOff");
  EXPECT_EQ(PTPFrameName(0x0B), "DataNak1XOn");
  EXPECT_EQ(PTPFrameName(0x12), "UNUSED12");
  EXPECT_EQ(PTPFrameName(0x15), "TestResponse");
  EXPECT_EQ(PTPFrameName(0x16), "0x16");
  EXPECT_EQ(PTPFrameName(0xFF), "0xFF");
  EXPECT_EQ(PTPFrameName(-1), "0xFFFF");
}

}  // namespace
}  // namespace zb::bacnet
