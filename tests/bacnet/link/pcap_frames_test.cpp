// pcap records of captured packets, octet by octet, and as Wireshark's dissector reads them.
#include "bacnet/link/pcap_frames.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "tests/common/netns.h"
#include "tests/common/udp_probe.h"

namespace zb::bacnet {
namespace {

using test::Hex;

std::string Octets(std::initializer_list<int> v) {
  std::string s;
  for (int c : v) s += static_cast<char>(c);
  return s;
}

// A Who-Is as Original-Broadcast-NPDU, and as a bare NPDU.
const std::string kWhoIsNPDU = Octets({0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x10, 0x08});
const std::string kWhoIsBVLL = Octets({0x81, 0x0B, 0x00, 0x0C}) + kWhoIsNPDU;

TCapturedPacket BIP(bool outgoing, uint32_t remote, const std::string& octets) {
  TCapturedPacket p;
  p.Outgoing = outgoing;
  p.Octets = octets;
  p.LocalIP = 0x0A2F0001;
  p.LocalPort = 47808;
  p.RemoteIP = remote;
  p.RemotePort = 47809;
  p.TimeUs = 1'700'000'000'250'000;
  return p;
}

TEST(PcapFrames, FileHeaderAndOutgoingBroadcastOctetByOctet) {
  EXPECT_EQ(Hex(PcapFileHeader()),
            "d4 c3 b2 a1 02 00 04 00 00 00 00 00 00 00 00 00 ff ff 00 00 01 00 00 00");
  const std::string r = PcapRecord(BIP(true, 0xFFFFFFFF, kWhoIsBVLL));
  ASSERT_EQ(r.size(), 16u + 14 + 20 + 8 + kWhoIsBVLL.size());
  // 1700000000 s and 250000 us, both lengths 54.
  EXPECT_EQ(Hex(r.substr(0, 16)), "00 f1 53 65 90 d0 03 00 36 00 00 00 36 00 00 00");
  EXPECT_EQ(Hex(r.substr(16, 14)), "ff ff ff ff ff ff 02 00 0a 2f 00 01 08 00");
  EXPECT_EQ(Hex(r.substr(30, 20)),
            "45 00 00 28 00 00 40 00 40 11 " + Hex(r.substr(40, 2)) + " 0a 2f 00 01 ff ff ff ff");
  // The header checksum sums to 0xffff over the header.
  uint32_t sum = 0;
  for (int i = 30; i < 50; i += 2) sum += (uint8_t(r[i]) << 8) | uint8_t(r[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  EXPECT_EQ(sum, 0xFFFFu);
  EXPECT_EQ(Hex(r.substr(50, 8)), "ba c0 ba c1 00 14 00 00");
  EXPECT_EQ(r.substr(58), kWhoIsBVLL);
}

TEST(PcapFrames, IncomingSwapsTheEndsAndPTPGoesAsLLCBetweenThePseudoAddresses) {
  const std::string in = PcapRecord(BIP(false, 0x0A2F0102, kWhoIsBVLL));
  EXPECT_EQ(Hex(in.substr(16, 12)), "02 00 0a 2f 00 01 02 00 0a 2f 01 02");
  EXPECT_EQ(Hex(in.substr(42, 8)), "0a 2f 01 02 0a 2f 00 01");
  EXPECT_EQ(Hex(in.substr(50, 4)), "ba c1 ba c0");

  TCapturedPacket p;
  p.SerialLine = true;
  p.Octets = kWhoIsNPDU;
  p.Outgoing = true;
  const std::string out = PcapRecord(p);
  EXPECT_EQ(Hex(out.substr(16)),
            "02 50 54 50 00 02 02 50 54 50 00 01 00 0b 82 82 03 " + Hex(kWhoIsNPDU));
  p.Outgoing = false;
  EXPECT_EQ(Hex(PcapRecord(p).substr(16, 12)), "02 50 54 50 00 01 02 50 54 50 00 02");
}

// Wireshark's dissector reads every frame to the BACnet application layer, none malformed.
TEST(PcapFrames, TsharkDecodesEveryKind) {
  if (!test::RunCommand("tshark --version")) GTEST_SKIP() << "tshark not installed";
  const std::string path = "/tmp/zb-pcap-" + std::to_string(getpid()) + ".pcap";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::string all = PcapFileHeader();
  all += PcapRecord(BIP(true, 0xFFFFFFFF, kWhoIsBVLL));
  // I-Am of device 1001 as Original-Unicast-NPDU, coming in.
  const std::string iam = Octets({0x01, 0x00, 0x10, 0x00, 0xC4, 0x02, 0x00, 0x03, 0xE9, 0x22, 0x04,
                                  0x00, 0x91, 0x03, 0x21, 0x04});
  all += PcapRecord(BIP(false, 0x0A2F0102, Octets({0x81, 0x0A, 0x00, 0x14}) + iam));
  all += PcapRecord(BIP(true, 0x0A2F0102, Octets({0x81, 0x05, 0x00, 0x06, 0x01, 0x2C})));
  TCapturedPacket p;
  p.SerialLine = true;
  p.Octets = kWhoIsNPDU;
  all += PcapRecord(p);
  p.Octets = iam;
  all += PcapRecord(p);
  std::fwrite(all.data(), 1, all.size(), f);
  std::fclose(f);
  std::string out;
  FILE* t = popen(("tshark -r " + path +
                   " -T fields -e frame.protocols -e _ws.malformed "
                   "-e _ws.expert.severity 2>/dev/null")
                      .c_str(),
                  "r");
  ASSERT_NE(t, nullptr);
  char b[4096];
  size_t n;
  while ((n = std::fread(b, 1, sizeof b, t)) > 0) out.append(b, n);
  pclose(t);
  unlink(path.c_str());
  std::vector<std::string> rows;
  for (size_t s = 0, e; (e = out.find('\n', s)) != std::string::npos; s = e + 1)
    rows.push_back(out.substr(s, e - s));
  ASSERT_EQ(rows.size(), 5u) << out;
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].find("malformed"), std::string::npos) << rows[i];
    const bool bvlc_only = i == 2;
    EXPECT_NE(rows[i].find(bvlc_only ? "bvlc" : "bacapp"), std::string::npos) << rows[i];
  }
  EXPECT_NE(rows[0].find("eth:ethertype:ip:udp:bvlc:bacnet:bacapp"), std::string::npos) << rows[0];
  EXPECT_NE(rows[3].find("eth:llc:bacnet:bacapp"), std::string::npos) << rows[3];
}

}  // namespace
}  // namespace zb::bacnet
