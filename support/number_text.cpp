#include "support/number_text.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace zb {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool TryStrToInt(std::string_view s, int32_t& value) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  bool hex = i < s.size() && s[i] == '$';
  if (hex) ++i;
  if (i == s.size()) return false;
  uint64_t mag = 0;
  const uint64_t limit = hex ? 0xFFFFFFFFull : (neg ? 2147483648ull : 2147483647ull);
  for (; i < s.size(); ++i) {
    int d = hex ? HexDigit(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
    if (d < 0) return false;
    mag = mag * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (mag > limit) return false;
  }
  uint32_t bits = static_cast<uint32_t>(mag);
  if (neg) bits = 0u - bits;
  value = static_cast<int32_t>(bits);
  return true;
}

bool ScanDecimalText(std::string_view s, std::string_view blanks, std::string& plain) {
  auto blank = [&](char c) { return blanks.find(c) != std::string_view::npos; };
  size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  auto digit = [&](size_t i) { return i < e && s[i] >= '0' && s[i] <= '9'; };
  std::string t;
  size_t i = b;
  if (i < e && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') t.push_back('-');
    ++i;
  }
  size_t digits = 0;
  while (digit(i)) t.push_back(s[i++]), ++digits;
  if (i < e && s[i] == '.') {
    t.push_back(s[i++]);
    while (digit(i)) t.push_back(s[i++]), ++digits;
  }
  if (digits == 0) return false;
  if (i < e && (s[i] == 'e' || s[i] == 'E')) {
    t.push_back('e');
    ++i;
    if (i < e && (s[i] == '+' || s[i] == '-')) t.push_back(s[i++]);
    size_t exp_digits = 0;
    while (digit(i)) t.push_back(s[i++]), ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != e) return false;
  plain = std::move(t);
  return true;
}

bool TryStrToFloat(std::string_view s, double& value) {
  std::string t;
  if (!ScanDecimalText(s, " ", t)) return false;
  // strtod in the "C" locale reads the plain text whatever the process locale.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  double v = strtod_l(t.c_str(), nullptr, c_locale);
  if (!std::isfinite(v)) return false;  // overflow; underflow reads as 0 or a denormal
  value = v;
  return true;
}

namespace {

// value with `digits` significant digits, as "%.<digits>g" writes it in the "C" locale.
std::string GeneralText(double value, int digits) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, digits);
  return std::string(buf, r.ptr);
}

}  // namespace

std::string RealToText(double value) {
  if (value == 0) return "0";
  std::string s = GeneralText(value, 15);
  for (char& c : s)
    if (c == 'e') c = 'E';
  return s;
}

std::string SingleToText(float value) {
  if (!std::isfinite(value)) return RealToText(value);
  if (value == 0) return "0";  // -0 as well
  // Nine significant digits always read back as the same single. Fewer than the shortest text
  // that reads back never do, so the search starts there and mostly ends there.
  char shortest_text[32];
  const auto sci = std::to_chars(shortest_text, shortest_text + sizeof shortest_text, value,
                                 std::chars_format::scientific);
  int first = 0;
  for (const char* c = shortest_text; c != sci.ptr && *c != 'e'; ++c)
    first += *c >= '0' && *c <= '9';
  std::string s;
  for (int digits = std::clamp(first, 1, 9); digits <= 9; ++digits) {
    s = GeneralText(value, digits);
    float back = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), back);
    if (r.ec == std::errc() && back == value) break;
  }
  // In fixed notation the text is already what fifteen digits of it give: no more digits, and
  // the same choice of notation.
  if (s.find('e') == std::string::npos) return s;
  double shortest = value;
  std::from_chars(s.data(), s.data() + s.size(), shortest);
  return RealToText(shortest);
}

}  // namespace zb
