#include "bacnet/link/pcap_frames.h"

#include <cstdint>

namespace zb::bacnet {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr uint32_t kLinkTypeEthernet = 1;
constexpr uint32_t kSnapLength = 65535;

void Le32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Le16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
void Be16(std::string& s, uint16_t v) {
  s += static_cast<char>(v >> 8);
  s += static_cast<char>(v & 0xFF);
}
void Be32(std::string& s, uint32_t v) {
  for (int i = 3; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string MacOf(uint32_t ip) {
  if (ip == 0xFFFFFFFF) return std::string(6, '\xFF');
  std::string m("\x02\x00", 2);
  Be32(m, ip);
  return m;
}

uint16_t HeaderChecksum(const std::string& h) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    sum += (static_cast<uint8_t>(h[i]) << 8) | static_cast<uint8_t>(h[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::string IPv4UDPFrame(const TCapturedPacket& p) {
  const uint32_t src_ip = p.Outgoing ? p.LocalIP : p.RemoteIP;
  const uint32_t dst_ip = p.Outgoing ? p.RemoteIP : p.LocalIP;
  const uint16_t src_port = p.Outgoing ? p.LocalPort : p.RemotePort;
  const uint16_t dst_port = p.Outgoing ? p.RemotePort : p.LocalPort;
  // A datagram is at most a few kilobytes; anything larger would not fit the length fields.
  const std::string payload = p.Octets.substr(0, 65535 - 28);
  std::string f = MacOf(dst_ip) + MacOf(src_ip);
  Be16(f, 0x0800);
  std::string ip;
  ip += '\x45';
  ip += '\x00';
  Be16(ip, static_cast<uint16_t>(20 + 8 + payload.size()));
  Be16(ip, 0);       // identification
  Be16(ip, 0x4000);  // don't fragment
  ip += '\x40';      // time to live
  ip += '\x11';      // UDP
  Be16(ip, 0);
  Be32(ip, src_ip);
  Be32(ip, dst_ip);
  const uint16_t sum = HeaderChecksum(ip);
  ip[10] = static_cast<char>(sum >> 8);
  ip[11] = static_cast<char>(sum & 0xFF);
  f += ip;
  Be16(f, src_port);
  Be16(f, dst_port);
  Be16(f, static_cast<uint16_t>(8 + payload.size()));
  Be16(f, 0);  // no checksum, allowed over IPv4
  return f + payload;
}

std::string LLCFrame(const TCapturedPacket& p) {
  // The 802.3 length field tells this from an Ethernet II type; a PTP NPDU is at most ~500
  // octets, far below 1500.
  const std::string npdu = p.Octets.substr(0, 1500 - 3);
  const std::string driver(kPTPDriverMAC, 6), far_end(kPTPFarEndMAC, 6);
  std::string f = p.Outgoing ? far_end + driver : driver + far_end;
  Be16(f, static_cast<uint16_t>(3 + npdu.size()));
  f += "\x82\x82\x03";
  return f + npdu;
}

}  // namespace

std::string PcapFileHeader() {
  std::string h;
  Le32(h, kPcapMagic);
  Le16(h, 2);
  Le16(h, 4);
  Le32(h, 0);  // time zone
  Le32(h, 0);  // accuracy
  Le32(h, kSnapLength);
  Le32(h, kLinkTypeEthernet);
  return h;
}

std::string PcapRecord(const TCapturedPacket& packet) {
  const std::string frame = packet.SerialLine ? LLCFrame(packet) : IPv4UDPFrame(packet);
  const int64_t t = packet.TimeUs < 0 ? 0 : packet.TimeUs;
  std::string r;
  Le32(r, static_cast<uint32_t>(t / 1000000));
  Le32(r, static_cast<uint32_t>(t % 1000000));
  Le32(r, static_cast<uint32_t>(frame.size()));
  Le32(r, static_cast<uint32_t>(frame.size()));
  return r + frame;
}

}  // namespace zb::bacnet
