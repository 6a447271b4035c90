// One packet a data link sent or received, as handed to whoever records the session's traffic.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace zb::bacnet {

struct TCapturedPacket {
  bool Outgoing = false;
  // PTP: Octets is the NPDU a data frame carried and the addresses are 0.
  // BACnet/IP: Octets is the whole datagram (BVLL header included).
  bool SerialLine = false;
  std::string Octets;
  uint32_t LocalIP = 0;  // host order
  uint16_t LocalPort = 0;
  uint32_t RemoteIP = 0;
  uint16_t RemotePort = 0;
  int64_t TimeUs = 0;  // wall clock, microseconds since 1970
};

using CaptureHandler = std::function<void(const TCapturedPacket& packet)>;

// Microseconds since 1970 by the wall clock.
int64_t CaptureTimeNow();

}  // namespace zb::bacnet
