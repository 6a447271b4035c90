// The point address text: the host's name for a property of an object of a BACnet device, e.g.
// "3-BIN7", "192.168.1.20-AIN#3:85", "[5]0A:1B-AVAL#1:85.8",
// "[C0:A8:01:01:BA:C0-5]12-PROP130#2:77" — and the shorter object address text of object lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/short_string.h"

namespace zb::bacnet {

struct TBACnetPointAddress {
  uint16_t Network = 0;           // 0 = the local network
  ShortString<22> DeviceAddress;  // MAC octets of the device on its network
  int32_t ObjectType = 0;
  int32_t InstanceID = 0;
  ShortString<16> RouterAddress;  // MAC of the router leading to Network; empty when not given
  int32_t PropertyID = -1;        // -1 when the text names none
  int32_t Qualifier = 16;         // the number after "."; 16 when absent
  bool ShortForm = false;         // no "#": instance straight after the object code

  bool operator==(const TBACnetPointAddress&) const = default;
};

// True when the text was complete and every number converted; on false the record may be
// partly filled. Never throws.
bool ParsePointAddress(std::string_view text, TBACnetPointAddress& address);
// The canonical text of a record; ParsePointAddress of it gives the same record.
std::string FormatPointAddress(const TBACnetPointAddress& address);
// "[network]" when not 0, "@" + the address octets as they are, "-", object code, instance.
std::string FormatObjectAddress(int32_t objectType, int32_t instance, int32_t network,
                                std::string_view address);

}  // namespace zb::bacnet
