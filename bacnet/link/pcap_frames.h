// A session's traffic as a pcap stream (link type Ethernet) that Wireshark decodes down to the
// BACnet application layer.
//
// BACnet/IP datagrams become Ethernet/IPv4/UDP frames with their real addresses and ports; the
// Ethernet addresses are made up from the IPv4 address (02:00:a:b:c:d; ff:ff:ff:ff:ff:ff for
// 255.255.255.255). PTP NPDUs, which had no addresses on the serial line, become IEEE 802.3
// frames with an LLC header for BACnet (DSAP = SSAP = 0x82, UI) between two pseudo-addresses
// that mark the serial line: kPTPDriverMAC for the driver's end, kPTPFarEndMAC for the far end.
#pragma once

#include <string>

#include "bacnet/link/captured_packet.h"

namespace zb::bacnet {

// 02:50:54:50:00:01 and 02:50:54:50:00:02 ("PTP" in the middle, locally administered).
inline constexpr const char kPTPDriverMAC[] = "\x02\x50\x54\x50\x00\x01";
inline constexpr const char kPTPFarEndMAC[] = "\x02\x50\x54\x50\x00\x02";

// The 24-octet file header (microsecond time stamps, Ethernet, snapshot length 65535).
std::string PcapFileHeader();
// One record: 16-octet header and the frame.
std::string PcapRecord(const TCapturedPacket& packet);

}  // namespace zb::bacnet
