#include "bacnet/link/ptp_frame.h"

#include <cstdio>
#include <iterator>

namespace zb::bacnet {

namespace {

constexpr const char* kFrameNames[] = {
    "HeartbeatXOff",      "HeartbeatXOn", "Data0",          "Data1",           "DataAck0XOff",
    "DataAck1XOff",       "DataAck0XOn",  "DataAck1XOn",    "DataNak0XOff",    "DataNak1XOff",
    "DataNak0XOn",        "DataNak1XOn",  "ConnectRequest", "ConnectResponse", "DisconnectRequest",
    "DisconnectResponse", "UNUSED10",     "UNUSED11",       "UNUSED12",        "UNUSED13",
    "TestRequest",        "TestResponse",
};

void AppendEscaped(std::string& out, uint8_t v) {
  if (v == kPTPDLE || v == kPTPXON || v == kPTPXOFF) {
    out += static_cast<char>(kPTPDLE);
    out += static_cast<char>(v | 0x80);
  } else {
    out += static_cast<char>(v);
  }
}

}  // namespace

std::string PTPFrameName(int type) {
  if (type >= 0 && type < static_cast<int>(std::size(kFrameNames))) return kFrameNames[type];
  // Types beyond the table: shown by their code.
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(type) & 0xFFFFu);
  return buf;
}

uint8_t PTPHeaderCRCUpdate(uint8_t octet, uint8_t crc) {
  uint16_t t = static_cast<uint16_t>(octet ^ crc);
  t = static_cast<uint16_t>(t ^ (t << 1) ^ (t << 2) ^ (t << 3) ^ (t << 4) ^ (t << 5) ^ (t << 6) ^
                            (t << 7));
  return static_cast<uint8_t>((t & 0xFE) ^ ((t >> 8) & 1));
}

uint16_t PTPDataCRCUpdate(uint8_t octet, uint16_t crc) {
  uint16_t lo = static_cast<uint16_t>((crc & 0xFF) ^ octet);
  return static_cast<uint16_t>((crc >> 8) ^ (lo << 8) ^ (lo << 3) ^ (lo << 12) ^ (lo >> 4) ^
                               (lo & 0x0F) ^ ((lo & 0x0F) << 7));
}

uint8_t PTPHeaderCRC(uint8_t type, uint16_t length) {
  uint8_t crc = 0xFF;
  crc = PTPHeaderCRCUpdate(type, crc);
  crc = PTPHeaderCRCUpdate(static_cast<uint8_t>(length >> 8), crc);
  crc = PTPHeaderCRCUpdate(static_cast<uint8_t>(length & 0xFF), crc);
  return static_cast<uint8_t>(crc ^ 0xFF);
}

uint16_t PTPDataCRC(std::string_view data) {
  uint16_t crc = 0xFFFF;
  for (unsigned char c : data) crc = PTPDataCRCUpdate(c, crc);
  return static_cast<uint16_t>(crc ^ 0xFFFF);
}

namespace {

std::string Build(uint8_t type, std::string_view data, bool escape) {
  std::string out;
  out.reserve(8 + data.size() * 2);
  auto put = [&](uint8_t v) {
    if (escape)
      AppendEscaped(out, v);
    else
      out += static_cast<char>(v);
  };
  out += static_cast<char>(kPTPPreamble1);
  out += static_cast<char>(kPTPPreamble2);
  // The length field is 16 bits; longer data cannot be framed and are cut there.
  uint16_t length = static_cast<uint16_t>(data.size() > 0xFFFF ? 0xFFFF : data.size());
  data = data.substr(0, length);
  put(type);
  put(static_cast<uint8_t>(length >> 8));
  put(static_cast<uint8_t>(length & 0xFF));
  put(PTPHeaderCRC(type, length));
  if (!data.empty()) {
    for (unsigned char c : data) put(c);
    uint16_t crc = PTPDataCRC(data);
    put(static_cast<uint8_t>(crc & 0xFF));
    put(static_cast<uint8_t>(crc >> 8));
  }
  return out;
}

}  // namespace

std::string BuildPTPFrameLogical(uint8_t type, std::string_view data) {
  return Build(type, data, false);
}

std::string BuildPTPFrame(uint8_t type, std::string_view data) { return Build(type, data, true); }

}  // namespace zb::bacnet
