// Substring, hex and octet helpers on arbitrary texts and positions: never out of bounds, and
// the round trips hold.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "support/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  // Two signed 16-bit numbers, two separator octets, then the text.
  int a = static_cast<int16_t>(data[0] << 8 | data[1]);
  int b = static_cast<int16_t>(data[2] << 8 | data[3]);
  char open = static_cast<char>(data[4]), close = static_cast<char>(data[5]);
  std::string_view s(reinterpret_cast<const char*>(data) + 6, size - 6);
  std::string_view sep = s.substr(0, static_cast<size_t>(b & 3));

  if (zb::LeftStr(s, a).size() > s.size() || zb::RightStr(s, a).size() > s.size()) std::abort();
  if (zb::MidStr(s, a, b).size() > s.size()) std::abort();
  (void)zb::TextBefore(s, sep);
  (void)zb::TextAfter(s, sep);
  (void)zb::TextFrom(s, sep);
  std::string last = zb::TextBeforeLast(s, sep);
  if (s.substr(0, last.size()) != last) std::abort();
  (void)zb::RemoveText(s, sep);
  std::string between = zb::TextBetween(s, open, close, a);
  if (between.size() > s.size()) std::abort();
  int pos = zb::TextPos(s, sep);
  if (pos < 0 || static_cast<size_t>(pos) > s.size()) std::abort();
  (void)zb::PadLeft(s, sep, a & 0x3FF);
  (void)zb::TrimLeadingSpaces(s);
  (void)zb::ReplaceAllText(s, sep, "xy");
  if (zb::HexToBytes(zb::BytesToHex(s)) != s) std::abort();
  if (zb::BytesToBracketHex(s).size() != 4 * s.size()) std::abort();
  (void)zb::HexToBytes(s);
  (void)zb::HexToInt(s.substr(0, static_cast<size_t>(b & 7)));
  (void)zb::GetWord(s, a);
  (void)zb::GetLong(s, a);
  unsigned char dest[8];
  zb::ReverseCopy(s, a, dest, b & 7);
  std::string bits(s);
  zb::SetBit(bits, a);
  if (a >= 0 && static_cast<size_t>(a / 8) < bits.size() && !zb::TestBit(bits, a)) std::abort();
  return 0;
}
