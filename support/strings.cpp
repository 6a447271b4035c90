#include "support/strings.h"

#include <cmath>
#include <cstring>

#include "support/number_text.h"

namespace zb {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// 0-based index of the first sep in s, npos when absent; an empty sep never occurs.
size_t Find(std::string_view s, std::string_view sep) {
  return sep.empty() ? std::string_view::npos : s.find(sep);
}

int HexValue(char c) {
  c = Upper(c);
  const char* p = std::strchr(kHexDigits, c);
  return c != '\0' && p ? static_cast<int>(p - kHexDigits) : 0;
}

// The text the lenient conversions look at, upper-cased.
std::string LenientWord(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && s[b] == ' ') ++b;
  s.remove_prefix(b);
  s = s.substr(0, s.find(' '));
  s = s.substr(0, s.find('%'));
  std::string w(s);
  for (char& c : w) c = Upper(c);
  return w;
}

// Plain decimal digits, the common case of point addresses and parameters, read without the
// lenient word's copy.
bool PlainDecimal(std::string_view s, int32_t& v) {
  if (s.empty() || s.size() > 9) return false;
  int32_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  v = n;
  return true;
}

// The word values; false for anything that is not one of the words.
bool WordValue(const std::string& w, int32_t& v) {
  if (w == "TRUE" || w == "ON") return v = 1, true;
  if (w == "FALSE" || w == "OFF") return v = 0, true;
  if (w == "-ON") return v = -1, true;
  return false;
}

}  // namespace

std::string LeftStr(std::string_view s, int n) {
  if (n <= 0) return {};
  return std::string(s.substr(0, static_cast<size_t>(n)));
}

std::string RightStr(std::string_view s, int n) {
  if (n <= 0) return {};
  size_t k = static_cast<size_t>(n);
  return std::string(k >= s.size() ? s : s.substr(s.size() - k));
}

std::string MidStr(std::string_view s, int from, int count) {
  if (count <= 0) return {};
  size_t start = from < 1 ? 0 : static_cast<size_t>(from) - 1;
  if (start >= s.size()) return {};
  return std::string(s.substr(start, static_cast<size_t>(count)));
}

std::string TextBefore(std::string_view s, std::string_view sep) {
  size_t p = Find(s, sep);
  return std::string(p == std::string_view::npos ? s : s.substr(0, p));
}

std::string TextAfter(std::string_view s, std::string_view sep) {
  size_t p = Find(s, sep);
  return std::string(p == std::string_view::npos ? s : s.substr(p + 1));
}

std::string TextFrom(std::string_view s, std::string_view sep) {
  size_t p = Find(s, sep);
  return std::string(p == std::string_view::npos ? s : s.substr(p));
}

std::string TextBeforeLast(std::string_view s, std::string_view sep) {
  size_t p = sep.empty() ? std::string_view::npos : s.rfind(sep);
  return std::string(p == std::string_view::npos ? s : s.substr(0, p + 1));
}

std::string RemoveText(std::string_view s, std::string_view sub) {
  size_t p = Find(s, sub);
  std::string r(s);
  if (p != std::string_view::npos) r.erase(p, sub.size());
  return r;
}

std::string TextBetween(std::string_view s, char open, char close, int start) {
  size_t from = start < 1 ? 0 : static_cast<size_t>(start) - 1;
  if (start >= 0 && static_cast<size_t>(start) >= s.size()) return {};
  size_t o = s.find(open, from);
  if (o == std::string_view::npos) return {};
  size_t c = s.find(close, o + 1);
  if (c == std::string_view::npos) return {};
  return std::string(s.substr(o + 1, c - o - 1));
}

int TextPos(std::string_view s, std::string_view sub) {
  size_t p = Find(s, sub);
  return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

std::string PadLeft(std::string_view s, std::string_view pad, int width) {
  std::string r;
  if (width > 0 && s.size() < static_cast<size_t>(width)) {
    size_t times = static_cast<size_t>(width) - s.size();
    r.reserve(times * pad.size() + s.size());
    for (size_t i = 0; i < times; ++i) r.append(pad);
  }
  r.append(s);
  return r;
}

std::string TrimLeadingSpaces(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && s[b] == ' ') ++b;
  return std::string(s.substr(b));
}

std::string ReplaceAllText(std::string_view s, std::string_view old_text,
                           std::string_view new_text) {
  if (old_text.empty()) return std::string(s);
  std::string r;
  size_t i = 0;
  while (i < s.size()) {
    bool match = s.size() - i >= old_text.size();
    for (size_t k = 0; match && k < old_text.size(); ++k)
      match = Upper(s[i + k]) == Upper(old_text[k]);
    if (match) {
      r.append(new_text);
      i += old_text.size();
    } else {
      r.push_back(s[i++]);
    }
  }
  return r;
}

bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }

bool IsLetterChar(char c) {
  c = Upper(c);
  return c >= 'A' && c <= 'Z';
}

int32_t TextToInt(std::string_view s) {
  int32_t v = 0;
  if (PlainDecimal(s, v)) return v;
  std::string w = LenientWord(s);
  if (TryStrToInt(w, v)) return v;
  return WordValue(w, v) ? v : 0;
}

double TextToDouble(std::string_view s) {
  std::string w = LenientWord(s);
  double d = 0;
  if (TryStrToFloat(w, d)) return d;
  int32_t v = 0;
  return WordValue(w, v) ? v : 0.0;
}

float TextToSingle(std::string_view s) {
  double d = TextToDouble(s);
  float f = static_cast<float>(d);
  return std::isfinite(f) ? f : 0.0f;  // beyond single range the conversion fails
}

bool TextToBool(std::string_view s) { return TextToDouble(s) != 0; }

int32_t HexToInt(std::string_view s) {
  if (s.empty() || s.size() > 4) return 0;
  int32_t v = 0;
  for (char c : s) v = v * 16 + HexValue(c);
  return v;
}

std::string HexToBytes(std::string_view s) {
  std::string r;
  r.reserve(s.size() / 2);
  for (size_t i = 0; i + 1 < s.size(); i += 2)
    r.push_back(static_cast<char>(HexValue(s[i]) * 16 + HexValue(s[i + 1])));
  return r;
}

std::string BytesToHex(std::string_view s) {
  std::string r;
  r.reserve(s.size() * 2);
  for (unsigned char c : s) {
    r.push_back(kHexDigits[c >> 4]);
    r.push_back(kHexDigits[c & 15]);
  }
  return r;
}

std::string BytesToBracketHex(std::string_view s) {
  std::string r;
  r.reserve(s.size() * 4);
  for (unsigned char c : s) {
    r.push_back('[');
    r.push_back(kHexDigits[c >> 4]);
    r.push_back(kHexDigits[c & 15]);
    r.push_back(']');
  }
  return r;
}

uint32_t DottedToInt(std::string_view s) {
  uint32_t result = 0;
  for (int part = 0; part < 4; ++part) {
    size_t dot = s.find('.');
    if ((part < 3) == (dot == std::string_view::npos)) return 0;  // not exactly four parts
    std::string_view text = s.substr(0, dot);
    int32_t v = 0;
    if (!PlainDecimal(text, v)) {
      std::string w = LenientWord(text);
      if (!TryStrToInt(w, v) && !WordValue(w, v)) return 0;
    }
    if (v < 0 || v > 255) return 0;
    result = (result << 8) | static_cast<uint32_t>(v);
    if (dot != std::string_view::npos) s.remove_prefix(dot + 1);
  }
  return result;
}

uint16_t GetWord(std::string_view s, int pos) {
  if (pos < 1 || static_cast<size_t>(pos) + 1 > s.size()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos - 1;
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t GetLong(std::string_view s, int pos) {
  if (pos < 1 || static_cast<size_t>(pos) + 3 > s.size()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos - 1;
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

std::string WordToBytes(uint16_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}

std::string LongToBytes(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>((v >> 16) & 0xFF),
          static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}

void ReverseCopy(std::string_view s, int pos, void* dest, int count) {
  if (count <= 0 || dest == nullptr) return;
  auto* d = static_cast<unsigned char*>(dest);
  for (int k = 0; k < count; ++k) {
    // Source octet pos + count - 1 - k (1-based) goes to dest[k].
    int64_t src = int64_t{pos} + count - 1 - k;
    d[k] = src >= 1 && src <= static_cast<int64_t>(s.size())
               ? static_cast<unsigned char>(s[static_cast<size_t>(src - 1)])
               : 0;
  }
}

bool TestBit(const uint8_t* buffer, size_t size, int i) {
  if (i < 0 || buffer == nullptr || static_cast<size_t>(i / 8) >= size) return false;
  return (buffer[i / 8] & (0x80 >> (i % 8))) != 0;
}

void SetBit(uint8_t* buffer, size_t size, int i) {
  if (i < 0 || buffer == nullptr || static_cast<size_t>(i / 8) >= size) return;
  buffer[i / 8] = static_cast<uint8_t>(buffer[i / 8] | (0x80 >> (i % 8)));
}

bool TestBit(std::string_view buffer, int i) {
  return TestBit(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(), i);
}

void SetBit(std::string& buffer, int i) {
  SetBit(reinterpret_cast<uint8_t*>(buffer.data()), buffer.size(), i);
}

}  // namespace zb
