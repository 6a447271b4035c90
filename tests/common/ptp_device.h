// A BACnet device at the far end of a PTP line, for tests, written from the standard on its own:
// it reads the NPDUs its PTPPeer receives and answers Who-Is with I-Am, ReadProperty with a stored
// value (or the error a device gives for an unknown object or property) and WriteProperty by
// storing the value and acknowledging. Every confirmed request is decoded and kept, so tests can
// check what the driver sent octet by octet; anything it cannot decode is kept as well.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/common/ptp_peer.h"

namespace zb::test {

class PTPDevice {
 public:
  // Hooks the peer's OnFrame; the peer must outlive the device.
  PTPDevice(PTPPeer& peer, uint32_t instance, uint16_t vendor = 42);
  ~PTPDevice();
  PTPDevice(const PTPDevice&) = delete;
  PTPDevice& operator=(const PTPDevice&) = delete;

  // Application-tagged encodings of values.
  static std::string Real(float v);
  static std::string Boolean(bool v);
  static std::string CharString(const std::string& text);  // character set 0
  static std::string Enumerated(uint32_t v);

  // Objects exist once one of their properties is set.
  void Set(uint16_t type, uint32_t instance, uint32_t property, std::string encoded);
  // The stored encoding, or nullptr.
  const std::string* Get(uint16_t type, uint32_t instance, uint32_t property) const;

  struct Request {
    uint8_t service = 0;  // 12 ReadProperty, 15 WriteProperty, others as received
    uint8_t invoke = 0;
    uint16_t type = 0;
    uint32_t instance = 0;
    uint32_t property = 0;
    int64_t index = -1;  // array index when given
    std::string value;   // WriteProperty: the octets between the opening and closing tag 3
    int priority = -1;   // WriteProperty: context tag 4 when given
    std::string apdu;    // the whole APDU as received
  };
  std::vector<Request> requests;
  int who_is = 0;
  int network_messages = 0;      // NPDUs carrying a network-layer message (not answered)
  std::vector<std::string> bad;  // NPDUs or APDUs it could not decode
  bool answering = true;         // false: decodes and keeps, but stays silent

  uint32_t instance() const { return instance_; }

 private:
  void Handle(const std::string& npdu);
  void HandleConfirmed(const std::string& apdu);
  void Answer(const std::string& apdu);
  bool ObjectKnown(uint16_t type, uint32_t instance) const;

  PTPPeer& peer_;
  uint32_t instance_;
  uint16_t vendor_;
  size_t seen_ = 0;  // peer.npdus already handled
  std::map<std::tuple<uint16_t, uint32_t, uint32_t>, std::string> properties_;
};

}  // namespace zb::test
