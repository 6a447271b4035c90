#include "bacnet/app/tag_codec.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>

namespace zb::bacnet {

namespace {

bool IsContext(int tagClass) { return tagClass == kTagClassContext; }

// The tag number actually written: the given one for context tags, the type's own otherwise.
int TagFor(int tagClass, int tagNumber, int appTag) {
  return IsContext(tagClass) ? tagNumber : appTag;
}

std::string Tagged(int tagClass, int tagNumber, int appTag, std::string_view content) {
  std::string out =
      EncodeTagHeader(tagClass, TagFor(tagClass, tagNumber, appTag), uint32_t(content.size()));
  out.append(content);
  return out;
}

void PutBigEndian(std::string& out, uint64_t value, int octets) {
  for (int i = octets - 1; i >= 0; --i) out.push_back(char((value >> (8 * i)) & 0xFF));
}

uint64_t GetBigEndian(std::string_view s, size_t count) {
  uint64_t v = 0;
  for (size_t i = 0; i < count; ++i) v = (v << 8) | uint8_t(s[i]);
  return v;
}

std::string OpenClose(int tagNumber, uint8_t lvt) {
  std::string out;
  uint8_t tag = uint8_t(tagNumber);
  if (tag <= 14) {
    out.push_back(char(tag * 16 + lvt));
  } else {
    out.push_back(char(0xF0 + lvt));
    out.push_back(char(tag));
  }
  return out;
}

}  // namespace

std::string EncodeTagHeader(int tagClass, int tagNumber, uint32_t length) {
  std::string out;
  uint8_t lvt = length <= 4 ? uint8_t(length) : 5;
  if (IsContext(tagClass)) lvt |= 0x08;
  uint8_t tag = uint8_t(tagNumber);
  if (tag <= 14) {
    out.push_back(char(tag * 16 + lvt));
  } else {
    out.push_back(char(0xF0 + lvt));
    out.push_back(char(tag));
  }
  if (length >= 5 && length <= 253) {
    out.push_back(char(length));
  } else if (length >= 254 && length <= 65535) {
    out.push_back(char(0xFE));
    PutBigEndian(out, length, 2);
  } else if (length > 65535) {
    out.push_back(char(0xFF));
    PutBigEndian(out, length, 4);
  }
  return out;
}

std::string UnsignedContent(uint32_t value) {
  std::string out;
  int n = 4;
  while (n > 1 && ((value >> (8 * (n - 1))) & 0xFF) == 0) --n;
  PutBigEndian(out, value, n);
  return out;
}

std::string SignedContent(int32_t value) {
  uint32_t u = uint32_t(value);
  uint8_t sign = value < 0 ? 0xFF : 0x00;
  int n = 4;
  // Drop a leading sign octet while the next octet still carries the sign in its top bit.
  while (n > 1) {
    uint8_t first = (u >> (8 * (n - 1))) & 0xFF;
    uint8_t next = (u >> (8 * (n - 2))) & 0xFF;
    if (first != sign || ((next & 0x80) != 0) != (value < 0)) break;
    --n;
  }
  std::string out;
  PutBigEndian(out, u, n);
  return out;
}

std::string BitStringContent(std::string_view bits) {
  std::string out;
  size_t n = bits.size();
  if (n == 0) return out;
  out.push_back(char(n % 8 == 0 ? 0 : 8 - n % 8));
  out.append((n + 7) / 8, '\0');
  for (size_t i = 0; i < n; ++i)
    if (bits[i] == '1') out[1 + i / 8] = char(uint8_t(out[1 + i / 8]) | (0x80 >> (i % 8)));
  return out;
}

std::string EncodeNull(int tagClass, int tagNumber) {
  return Tagged(tagClass, tagNumber, kAppTagNull, {});
}

std::string EncodeBoolean(int tagClass, int tagNumber, bool value) {
  if (!IsContext(tagClass)) return EncodeTagHeader(tagClass, kAppTagBoolean, value ? 1 : 0);
  return Tagged(tagClass, tagNumber, kAppTagBoolean, value ? "\x01" : std::string_view("\0", 1));
}

std::string EncodeUnsigned(int tagClass, int tagNumber, uint32_t value) {
  return Tagged(tagClass, tagNumber, kAppTagUnsigned, UnsignedContent(value));
}

std::string EncodeSigned(int tagClass, int tagNumber, int32_t value) {
  return Tagged(tagClass, tagNumber, kAppTagSigned, SignedContent(value));
}

std::string EncodeReal(int tagClass, int tagNumber, double value) {
  float f;
  if (std::isnan(value))
    f = std::numeric_limits<float>::quiet_NaN();
  else if (value > FLT_MAX)
    f = std::numeric_limits<float>::infinity();
  else if (value < -FLT_MAX)
    f = -std::numeric_limits<float>::infinity();
  else
    f = float(value);
  std::string content;
  PutBigEndian(content, std::bit_cast<uint32_t>(f), 4);
  return Tagged(tagClass, tagNumber, kAppTagReal, content);
}

std::string EncodeDouble(int tagClass, int tagNumber, double value) {
  std::string content;
  PutBigEndian(content, std::bit_cast<uint64_t>(value), 8);
  return Tagged(tagClass, tagNumber, kAppTagDouble, content);
}

std::string EncodeOctetString(int tagClass, int tagNumber, std::string_view octets) {
  return Tagged(tagClass, tagNumber, kAppTagOctetString, octets);
}

std::string EncodeCharacterString(int tagClass, int tagNumber, std::string_view text) {
  std::string content(1, '\0');  // character set: ANSI X3.4 / UTF-8
  content.append(text);
  return Tagged(tagClass, tagNumber, kAppTagCharacterString, content);
}

std::string EncodeBitString(int tagClass, int tagNumber, std::string_view bits) {
  return Tagged(tagClass, tagNumber, kAppTagBitString, BitStringContent(bits));
}

std::string EncodeEnumerated(int tagClass, int tagNumber, uint32_t value) {
  return Tagged(tagClass, tagNumber, kAppTagEnumerated, UnsignedContent(value));
}

std::string EncodeDate(int tagClass, int tagNumber, std::string_view octets) {
  return Tagged(tagClass, tagNumber, kAppTagDate, octets.size() == 4 ? octets : "");
}

std::string EncodeTime(int tagClass, int tagNumber, std::string_view octets) {
  return Tagged(tagClass, tagNumber, kAppTagTime, octets.size() == 4 ? octets : "");
}

std::string EncodeObjectIdentifier(int tagClass, int tagNumber, uint32_t objectType,
                                   uint32_t instance) {
  std::string content;
  PutBigEndian(content, ((objectType & 0x3FF) << 22) | (instance & 0x3FFFFF), 4);
  return Tagged(tagClass, tagNumber, kAppTagObjectIdentifier, content);
}

std::string EncodeOpeningTag(int tagNumber) { return OpenClose(tagNumber, 0x0E); }

std::string EncodeClosingTag(int tagNumber) { return OpenClose(tagNumber, 0x0F); }

uint32_t DecodeUnsigned(std::string_view content) {
  uint32_t v = 0;
  for (char c : content) v = (v << 8) | uint8_t(c);
  return v;
}

int32_t DecodeSigned(std::string_view content) {
  if (content.empty()) return 0;
  uint32_t v = (uint8_t(content[0]) & 0x80) ? 0xFFFFFFFFu : 0;
  for (char c : content) v = (v << 8) | uint8_t(c);
  return std::bit_cast<int32_t>(v);
}

bool DecodeBoolean(std::string_view content) { return !content.empty() && content[0] != 0; }

double DecodeReal(std::string_view content) {
  if (content.size() < 4) return 0;
  return std::bit_cast<float>(uint32_t(GetBigEndian(content, 4)));
}

double DecodeDouble(std::string_view content) {
  if (content.size() < 8) return 0;
  return std::bit_cast<double>(GetBigEndian(content, 8));
}

std::string DecodeCharacterString(std::string_view content) {
  if (!content.empty() && uint8_t(content[0]) < 32) content.remove_prefix(1);
  return std::string(content);
}

std::string DecodeBitString(std::string_view content) {
  std::string out;
  if (content.empty()) return out;
  int64_t count = int64_t(content.size() - 1) * 8 - uint8_t(content[0]);
  for (int64_t i = 0; i < count; ++i)
    out.push_back((uint8_t(content[size_t(i / 8) + 1]) & (0x80 >> (i % 8))) ? '1' : '0');
  return out;
}

void DecodeObjectIdentifier(std::string_view content, int32_t& objectType, int32_t& instance) {
  if (content.size() < 4) {
    objectType = 0;
    instance = 0;
    return;
  }
  uint32_t v = uint32_t(GetBigEndian(content, 4));
  objectType = int32_t(v >> 22);
  instance = int32_t(v & 0x3FFFFF);
}

}  // namespace zb::bacnet
