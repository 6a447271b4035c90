// BACnet tag codec: the tag header and one encoder per primitive data type, with the matching
// content decoders. Pure functions; every encoder returns header and content as a byte string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zb::bacnet {

// Tag classes as the encoders take them.
constexpr int kTagClassApplication = 1;
constexpr int kTagClassContext = 2;

// Application tag numbers.
enum : int {
  kAppTagNull = 0,
  kAppTagBoolean = 1,
  kAppTagUnsigned = 2,
  kAppTagSigned = 3,
  kAppTagReal = 4,
  kAppTagDouble = 5,
  kAppTagOctetString = 6,
  kAppTagCharacterString = 7,
  kAppTagBitString = 8,
  kAppTagEnumerated = 9,
  kAppTagDate = 10,
  kAppTagTime = 11,
  kAppTagObjectIdentifier = 12,
};

// Header for a tag of the given class, number (0..254) and content length. Class 2 is context,
// anything else application.
std::string EncodeTagHeader(int tagClass, int tagNumber, uint32_t length);

// Primitive encoders. With class 1 the tag number is ignored and the type's application tag used.
std::string EncodeNull(int tagClass, int tagNumber);
std::string EncodeBoolean(int tagClass, int tagNumber, bool value);
std::string EncodeUnsigned(int tagClass, int tagNumber, uint32_t value);
std::string EncodeSigned(int tagClass, int tagNumber, int32_t value);
// Values beyond the single-precision range become +/- infinity.
std::string EncodeReal(int tagClass, int tagNumber, double value);
std::string EncodeDouble(int tagClass, int tagNumber, double value);
std::string EncodeOctetString(int tagClass, int tagNumber, std::string_view octets);
std::string EncodeCharacterString(int tagClass, int tagNumber, std::string_view text);
// From a text of "0"/"1" characters, first bit first; any other character counts as 0.
std::string EncodeBitString(int tagClass, int tagNumber, std::string_view bits);
std::string EncodeEnumerated(int tagClass, int tagNumber, uint32_t value);
// Date and time take their four BACnet octets; anything that is not exactly four octets long is
// written with length 0, so a malformed value never shifts the tags that follow.
std::string EncodeDate(int tagClass, int tagNumber, std::string_view octets);
std::string EncodeTime(int tagClass, int tagNumber, std::string_view octets);
// Object type in the top 10 bits, the instance's low 22 bits below.
std::string EncodeObjectIdentifier(int tagClass, int tagNumber, uint32_t objectType,
                                   uint32_t instance);
std::string EncodeOpeningTag(int tagNumber);
std::string EncodeClosingTag(int tagNumber);

// Content octets of a signed value, shortest two's-complement form (shared with the list encoder).
std::string SignedContent(int32_t value);
std::string UnsignedContent(uint32_t value);
std::string BitStringContent(std::string_view bits);

// Content decoders (input: content octets without the tag header).
// Big-endian; empty gives 0. Longer than four octets keeps the low 32 bits (value modulo 2^32),
// so a zero-padded encoding still reads right.
uint32_t DecodeUnsigned(std::string_view content);
// Two's complement, sign taken from the first octet; longer contents keep the low 32 bits.
int32_t DecodeSigned(std::string_view content);
bool DecodeBoolean(std::string_view content);
// The first four octets as a big-endian single; fewer than four octets give 0.
double DecodeReal(std::string_view content);
// The first eight octets as a big-endian double; fewer than eight octets give 0.
double DecodeDouble(std::string_view content);
// Drops the first octet when it is below 32 (the character-set octet).
std::string DecodeCharacterString(std::string_view content);
// Content with its unused-bits octet first; the bits as "0"/"1" characters.
std::string DecodeBitString(std::string_view content);
// Fewer than four octets give type 0, instance 0.
void DecodeObjectIdentifier(std::string_view content, int32_t& objectType, int32_t& instance);

}  // namespace zb::bacnet
