// BACnet PTP frames on the octet level: frame types and their trace names, the header and data
// CRCs, and the escaped wire form of a frame. Pure functions, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zb::bacnet {

enum TPTPFrameType : uint8_t {
  ptpHeartbeatXOff = 0x00,
  ptpHeartbeatXOn = 0x01,
  ptpData0 = 0x02,
  ptpData1 = 0x03,
  ptpDataAck0XOff = 0x04,
  ptpDataAck1XOff = 0x05,
  ptpDataAck0XOn = 0x06,
  ptpDataAck1XOn = 0x07,
  ptpDataNak0XOff = 0x08,
  ptpDataNak1XOff = 0x09,
  ptpDataNak0XOn = 0x0A,
  ptpDataNak1XOn = 0x0B,
  ptpConnectRequest = 0x0C,
  ptpConnectResponse = 0x0D,
  ptpDisconnectRequest = 0x0E,
  ptpDisconnectResponse = 0x0F,
  ptpTestRequest = 0x14,
  ptpTestResponse = 0x15,
};

constexpr uint8_t kPTPPreamble1 = 0x55;
constexpr uint8_t kPTPPreamble2 = 0xFF;
constexpr uint8_t kPTPDLE = 0x10;
constexpr uint8_t kPTPXON = 0x11;
constexpr uint8_t kPTPXOFF = 0x13;
constexpr int kPTPMaxData = 501;
constexpr uint8_t kPTPHeaderCRCGood = 0x55;
constexpr uint16_t kPTPDataCRCGood = 0xF0B8;
// The unframed octets the calling side writes to start a connection.
constexpr std::string_view kPTPTrigger = "BACnet\r";

// Trace name of a frame type: the 22 names of 0x00..0x15; higher codes read "0x" and two hex
// digits.
std::string PTPFrameName(int type);

uint8_t PTPHeaderCRCUpdate(uint8_t octet, uint8_t crc);
uint16_t PTPDataCRCUpdate(uint8_t octet, uint16_t crc);
// The CRC octet(s) as sent: header register XOR 0xFF; data register XOR 0xFFFF.
uint8_t PTPHeaderCRC(uint8_t type, uint16_t length);
uint16_t PTPDataCRC(std::string_view data);

// The logical frame (preamble, header, CRCs, data; nothing escaped) and its wire form (every
// octet after the preamble that is DLE, XON or XOFF sent as DLE, octet OR 0x80).
std::string BuildPTPFrameLogical(uint8_t type, std::string_view data);
std::string BuildPTPFrame(uint8_t type, std::string_view data);

}  // namespace zb::bacnet
