#include "bacnet/app/trace_lines.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace zb::bacnet {

namespace {

// Every read and answer writes one of these lines, so each is built in one buffer.
void AppendTraceHex(std::string& out, std::string_view octets) {
  static const char kDigits[] = "0123456789abcdef";
  // Traces go to views a person reads: a whole large request would cost megabytes there.
  const size_t shown = std::min(octets.size(), kTraceHexOctets);
  const size_t at = out.size();
  out.resize(at + shown * 4);
  char* p = out.data() + at;
  for (size_t i = 0; i < shown; ++i) {
    const auto c = static_cast<unsigned char>(octets[i]);
    *p++ = '[';
    *p++ = kDigits[c >> 4];
    *p++ = kDigits[c & 0x0F];
    *p++ = ']';
  }
  if (shown < octets.size()) {
    out += "... (";
    out += std::to_string(octets.size());
    out += " octets)";
  }
}

template <typename T>
void AppendNumber(std::string& out, T value, int base = 10) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
  out.append(digits, end);
}

bool SameLetters(std::string_view a, std::string_view upper) {
  if (a.size() != upper.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

void AppendTypeServiceLength(std::string& out, int type, int service, size_t length) {
  out += "[T:";
  AppendNumber(out, type);
  out += "] [S:";
  AppendNumber(out, service);
  out += "] [L:";
  AppendNumber(out, length);
  out += "] Data: ";
}

}  // namespace

std::string TraceHex(const std::string& octets) {
  std::string out;
  out.reserve(std::min(octets.size(), kTraceHexOctets) * 4 + 24);
  AppendTraceHex(out, octets);
  return out;
}

std::string IncomingTraceLine(const TBACnetPDU& pdu) {
  const std::string_view address = pdu.SourceAddress.view();
  const std::string_view data = pdu.ServiceData;
  std::string line;
  line.reserve(64 + 4 * (address.size() + std::min(data.size(), kTraceHexOctets)));
  line += " IN: [";
  const auto network = static_cast<unsigned>(pdu.SourceNetwork);
  if (network < 0x10) line += '0';
  AppendNumber(line, network, 16);
  if (SameLetters(address, "<THIS>")) {
    line += "]<This>";
  } else if (SameLetters(address, "<LOCAL>")) {
    line += "]<Local>";
  } else {
    line += "]<";
    if (address.find('.') != std::string_view::npos)
      line += address;
    else
      AppendTraceHex(line, address);
    line += '>';
  }
  AppendTypeServiceLength(line, pdu.PDUType, pdu.ServiceChoice, data.size());
  AppendTraceHex(line, data);
  line += '\r';
  return line;
}

std::string OutgoingTraceLine(const TBACnetPDU& request, const std::string& data) {
  std::string line;
  line.reserve(48 + 4 * std::min(data.size(), kTraceHexOctets));
  line += "OUT: ";
  AppendTypeServiceLength(line, request.PDUType, request.ServiceChoice, data.size());
  AppendTraceHex(line, data);
  line += '\r';
  return line;
}

}  // namespace zb::bacnet
