#include "bacnet/app/trace_lines.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zb::bacnet {

std::string TraceHex(const std::string& octets) {
  static const char kDigits[] = "0123456789abcdef";
  // Traces go to views a person reads: a whole large request would cost megabytes there.
  const size_t shown = std::min(octets.size(), kTraceHexOctets);
  std::string out;
  out.reserve(shown * 4 + 24);
  for (size_t i = 0; i < shown; ++i) {
    const auto c = static_cast<unsigned char>(octets[i]);
    out += '[';
    out += kDigits[c >> 4];
    out += kDigits[c & 0x0F];
    out += ']';
  }
  if (shown < octets.size()) out += "... (" + std::to_string(octets.size()) + " octets)";
  return out;
}

std::string IncomingTraceLine(const TBACnetPDU& pdu) {
  char net[16];
  std::snprintf(net, sizeof net, "%02x", static_cast<unsigned>(pdu.SourceNetwork));
  std::string line = " IN: [";
  line += net;
  const std::string address = pdu.SourceAddress.str();
  std::string upper = address;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "<THIS>")
    line += "]<This>";
  else if (upper == "<LOCAL>")
    line += "]<Local>";
  else if (address.find('.') != std::string::npos)
    line += "]<" + address + ">";
  else
    line += "]<" + TraceHex(address) + ">";
  line += "[T:" + std::to_string(pdu.PDUType) + "]";
  line += " [S:" + std::to_string(pdu.ServiceChoice) + "]";
  line += " [L:" + std::to_string(pdu.ServiceData.size()) + "]";
  line += " Data: " + TraceHex(pdu.ServiceData) + "\r";
  return line;
}

std::string OutgoingTraceLine(const TBACnetPDU& request, const std::string& data) {
  std::string line = "OUT: [T:" + std::to_string(request.PDUType) + "]";
  line += " [S:" + std::to_string(request.ServiceChoice) + "]";
  line += " [L:" + std::to_string(data.size()) + "]";
  line += " Data: " + TraceHex(data) + "\r";
  return line;
}

}  // namespace zb::bacnet
