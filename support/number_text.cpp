#include "support/number_text.h"

#include <locale.h>
#include <stdlib.h>

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

bool TryStrToFloat(std::string_view s, double& value) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  std::string t;
  size_t i = b;
  if (i < e && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') t.push_back('-');
    ++i;
  }
  size_t digits = 0;
  while (i < e && s[i] >= '0' && s[i] <= '9') t.push_back(s[i++]), ++digits;
  if (i < e && s[i] == '.') {
    t.push_back(s[i++]);
    while (i < e && s[i] >= '0' && s[i] <= '9') t.push_back(s[i++]), ++digits;
  }
  if (digits == 0) return false;
  if (i < e && (s[i] == 'e' || s[i] == 'E')) {
    t.push_back('e');
    ++i;
    if (i < e && (s[i] == '+' || s[i] == '-')) t.push_back(s[i++]);
    size_t exp_digits = 0;
    while (i < e && s[i] >= '0' && s[i] <= '9') t.push_back(s[i++]), ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != e) return false;
  // The text is validated above; strtod in the "C" locale reads it whatever the process locale.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  double v = strtod_l(t.c_str(), nullptr, c_locale);
  if (!std::isfinite(v)) return false;  // overflow; underflow reads as 0 or a denormal
  value = v;
  return true;
}

}  // namespace zb
