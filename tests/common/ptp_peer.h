// A BACnet PTP peer for tests, written from the protocol on its own: a reference frame codec
// (bitwise CRCs, escaping, a buffer-scanning parser) and a scripted far end that answers
// connection set-up, acknowledges data by sequence bit and lets a test drop, repeat or inject
// frames. It talks through a descriptor (the master of a pseudo-terminal) or through a write
// function (behind a modem emulator).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/message_loop.h"

namespace zb::test {

// Reference codec.
uint8_t RefHeaderCRC(uint8_t type, uint16_t length);  // the octet as sent
uint16_t RefDataCRC(std::string_view data);           // the value as sent (low octet first)
std::string RefLogicalFrame(uint8_t type, std::string_view data);
std::string RefEscape(std::string_view logical);  // escapes everything after the preamble
std::string RefWireFrame(uint8_t type, std::string_view data);

struct RefFrame {
  uint8_t type = 0;
  std::string data;
  bool ok = true;  // false: data CRC wrong or length above 501
};

// Scans a received octet stream for frames. Octets outside frames are kept as text (the
// connection trigger, modem responses). XON and XOFF are dropped.
class RefFrameParser {
 public:
  void Feed(std::string_view octets);
  std::vector<RefFrame> TakeFrames();
  std::string TakeText();

 private:
  void Scan();
  std::string buf_;
  std::string text_;
  std::vector<RefFrame> frames_;
};

// Frame type codes, spelled out here independently of the link.
namespace ptp {
constexpr uint8_t kHeartbeatXOff = 0x00, kHeartbeatXOn = 0x01, kData0 = 0x02, kData1 = 0x03,
                  kAck0XOff = 0x04, kAck1XOff = 0x05, kAck0XOn = 0x06, kAck1XOn = 0x07,
                  kNak0XOff = 0x08, kNak1XOff = 0x09, kNak0XOn = 0x0A, kNak1XOn = 0x0B,
                  kConnectRequest = 0x0C, kConnectResponse = 0x0D, kDisconnectRequest = 0x0E,
                  kDisconnectResponse = 0x0F, kTestRequest = 0x14, kTestResponse = 0x15;
}

class PTPPeer {
 public:
  // Watches `fd` (non-blocking) on the loop.
  PTPPeer(platform::MessageLoop& loop, int fd);
  // Writes through `write`; the owner feeds received octets with Receive.
  explicit PTPPeer(std::function<void(const std::string&)> write);
  ~PTPPeer();
  PTPPeer(const PTPPeer&) = delete;
  PTPPeer& operator=(const PTPPeer&) = delete;

  void Receive(std::string_view octets);

  // Output.
  void SendRaw(const std::string& octets);
  void SendFrame(uint8_t type, std::string_view data = {});
  void SendTrigger() { SendRaw("BACnet\r"); }
  // A Data frame with the peer's own next sequence bit, which then alternates.
  void SendData(std::string_view npdu);

  // Behaviour.
  bool answer_trigger = true;          // trigger seen: send ConnectRequest (peer answers)
  bool answer_connect_request = true;  // ConnectRequest seen: send ConnectResponse
  bool answer_disconnect = true;       // DisconnectRequest seen: send DisconnectResponse
  bool acknowledge_data = true;        // Data frame seen: send DataAck<seq>XOn
  int drop_acks = 0;                   // acknowledgements to leave out
  bool busy = false;                   // acknowledge with XOff types
  std::string password;                // data of the ConnectResponse

  // What arrived.
  std::vector<RefFrame> frames;    // every frame, in order
  std::vector<std::string> npdus;  // new data, duplicates removed by sequence bit
  int duplicates = 0;              // Data frames seen again with the old sequence bit
  int triggers = 0;                // "BACnet\r" outside frames
  std::string text;                // every octet outside frames
  std::string raw;                 // every octet as it came
  int tx_sequence = 0;             // sequence bit of the peer's next SendData
  int expected_rx = 0;             // sequence bit expected in the link's next new Data

  int Count(uint8_t type) const;
  // Data of the last received frame of that type (empty when none).
  const RefFrame* Last(uint8_t type) const;

  std::function<void(const RefFrame&)> OnFrame;

 private:
  void Handle(const RefFrame& f);
  platform::MessageLoop* loop_ = nullptr;
  int fd_ = -1;
  int watch_ = 0;
  std::function<void(const std::string&)> write_;
  RefFrameParser parser_;
  std::string trigger_window_;
};

}  // namespace zb::test
