// The trace lines the device writes for what it receives and answers.
#pragma once

#include <cstddef>
#include <string>

#include "bacnet/app/pdu.h"

namespace zb::bacnet {

// Every octet as "[" + two lower-case hexadecimal digits + "]", at most kTraceHexOctets of them;
// a longer dump ends in "... (N octets)".
constexpr size_t kTraceHexOctets = 200;
std::string TraceHex(const std::string& octets);
// " IN: [..]<..>[T:..] [S:..] [L:..] Data: ..\r" for a delivered PDU.
std::string IncomingTraceLine(const TBACnetPDU& pdu);
// "OUT: [T:..] [S:..] [L:..] Data: ..\r" for an answer to `request` carrying `data`.
std::string OutgoingTraceLine(const TBACnetPDU& request, const std::string& data);

}  // namespace zb::bacnet
