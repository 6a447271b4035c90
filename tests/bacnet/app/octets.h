// Octet literals for the codec tests: "0C 00 00 00 05" → the five octets.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace zb::bacnet::test {

inline std::string Octets(std::string_view hex) {
  std::string out;
  int nibbles = 0, value = 0;
  for (char c : hex) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    value = value * 16 +
            (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10);
    if (++nibbles == 2) {
      out.push_back(static_cast<char>(value));
      nibbles = value = 0;
    }
  }
  return out;
}

inline std::string ToHex(std::string_view s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

}  // namespace zb::bacnet::test
