#include "bacnet/app/tag_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "tests/bacnet/app/octets.h"

namespace zb::bacnet {
namespace {

using test::Octets;
using test::ToHex;

constexpr int A = kTagClassApplication;
constexpr int C = kTagClassContext;

// The application-tagged encoding examples of the BACnet standard's clause on primitive data.
TEST(TagCodec, ApplicationEncodingsMatchTheStandardExamples) {
  EXPECT_EQ(ToHex(EncodeNull(A, 0)), "00");
  EXPECT_EQ(ToHex(EncodeBoolean(A, 0, false)), "10");
  EXPECT_EQ(ToHex(EncodeBoolean(A, 0, true)), "11");
  EXPECT_EQ(ToHex(EncodeUnsigned(A, 0, 72)), "21 48");
  EXPECT_EQ(ToHex(EncodeSigned(A, 0, 72)), "31 48");
  EXPECT_EQ(ToHex(EncodeReal(A, 0, 72.0)), "44 42 90 00 00");
  EXPECT_EQ(ToHex(EncodeDouble(A, 0, 72.0)), "55 08 40 52 00 00 00 00 00 00");
  EXPECT_EQ(ToHex(EncodeOctetString(A, 0, Octets("12 34 FF"))), "63 12 34 FF");
  EXPECT_EQ(EncodeCharacterString(A, 0, "This is a BACnet string!"),
            Octets("75 19 00") + "This is a BACnet string!");
  EXPECT_EQ(ToHex(EncodeBitString(A, 0, "10101")), "82 03 A8");
  EXPECT_EQ(ToHex(EncodeEnumerated(A, 0, 0)), "91 00");
  EXPECT_EQ(ToHex(EncodeDate(A, 0, Octets("5B 01 18 04"))), "A4 5B 01 18 04");  // 1991-01-24 Thu
  EXPECT_EQ(ToHex(EncodeTime(A, 0, Octets("11 23 2D 11"))), "B4 11 23 2D 11");  // 17:35:45.17
  EXPECT_EQ(ToHex(EncodeObjectIdentifier(A, 0, 3, 15)), "C4 00 C0 00 0F");      // binary input 15
  // With class 1 the tag number given is ignored.
  EXPECT_EQ(ToHex(EncodeUnsigned(A, 9, 72)), "21 48");
}

TEST(TagCodec, ContextEncodings) {
  EXPECT_EQ(ToHex(EncodeUnsigned(C, 0, 256)), "0A 01 00");
  EXPECT_EQ(ToHex(EncodeSigned(C, 1, -72)), "19 B8");
  EXPECT_EQ(ToHex(EncodeReal(C, 0, -33.3)), "0C C2 05 33 33");
  EXPECT_EQ(ToHex(EncodeObjectIdentifier(C, 0, 0, 5)), "0C 00 00 00 05");
  EXPECT_EQ(ToHex(EncodeBoolean(C, 9, true)), "99 01");
  EXPECT_EQ(ToHex(EncodeBoolean(C, 9, false)), "99 00");
  EXPECT_EQ(ToHex(EncodeNull(C, 3)), "38");
  EXPECT_EQ(ToHex(EncodeCharacterString(C, 4, "")), "49 00");
  EXPECT_EQ(ToHex(EncodeEnumerated(C, 2, 2)), "29 02");
  EXPECT_EQ(ToHex(EncodeOpeningTag(3)), "3E");
  EXPECT_EQ(ToHex(EncodeClosingTag(3)), "3F");
  EXPECT_EQ(ToHex(EncodeOpeningTag(14)), "EE");
  EXPECT_EQ(ToHex(EncodeClosingTag(14)), "EF");
}

TEST(TagCodec, ExtendedTagNumbersAndLengths) {
  EXPECT_EQ(ToHex(EncodeOpeningTag(15)), "FE 0F");
  EXPECT_EQ(ToHex(EncodeClosingTag(15)), "FF 0F");
  EXPECT_EQ(ToHex(EncodeOpeningTag(200)), "FE C8");
  EXPECT_EQ(ToHex(EncodeTagHeader(C, 15, 1)), "F9 0F");
  EXPECT_EQ(ToHex(EncodeTagHeader(C, 254, 0)), "F8 FE");
  EXPECT_EQ(ToHex(EncodeTagHeader(C, 14, 4)), "EC");
  EXPECT_EQ(ToHex(EncodeTagHeader(C, 20, 300)), "FD 14 FE 01 2C");
  EXPECT_EQ(ToHex(EncodeTagHeader(A, 6, 4)), "64");
  EXPECT_EQ(ToHex(EncodeTagHeader(A, 6, 5)), "65 05");
  EXPECT_EQ(ToHex(EncodeTagHeader(A, 6, 253)), "65 FD");
  EXPECT_EQ(ToHex(EncodeTagHeader(A, 6, 254)), "65 FE 00 FE");
  EXPECT_EQ(ToHex(EncodeTagHeader(A, 6, 65535)), "65 FE FF FF");
  EXPECT_EQ(ToHex(EncodeTagHeader(A, 6, 65536)), "65 FF 00 01 00 00");
  std::string big(300, 'x');
  EXPECT_EQ(EncodeOctetString(A, 0, big), Octets("65 FE 01 2C") + big);
}

TEST(TagCodec, IntegerContentsAreShortest) {
  EXPECT_EQ(ToHex(UnsignedContent(0)), "00");
  EXPECT_EQ(ToHex(UnsignedContent(255)), "FF");
  EXPECT_EQ(ToHex(UnsignedContent(256)), "01 00");
  EXPECT_EQ(ToHex(UnsignedContent(0xFFFFFFFF)), "FF FF FF FF");
  EXPECT_EQ(ToHex(SignedContent(0)), "00");
  EXPECT_EQ(ToHex(SignedContent(127)), "7F");
  EXPECT_EQ(ToHex(SignedContent(128)), "00 80");
  EXPECT_EQ(ToHex(SignedContent(-1)), "FF");
  EXPECT_EQ(ToHex(SignedContent(-128)), "80");
  EXPECT_EQ(ToHex(SignedContent(-129)), "FF 7F");
  EXPECT_EQ(ToHex(SignedContent(32767)), "7F FF");
  EXPECT_EQ(ToHex(SignedContent(-32769)), "FF 7F FF");
  EXPECT_EQ(ToHex(SignedContent(std::numeric_limits<int32_t>::min())), "80 00 00 00");
  EXPECT_EQ(ToHex(SignedContent(std::numeric_limits<int32_t>::max())), "7F FF FF FF");
  EXPECT_EQ(ToHex(EncodeSigned(A, 0, 128)), "32 00 80");

  // Every value decodes back, in the fewest octets that hold it.
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    int bits = int(rng() % 33);
    int32_t v = bits == 0 ? 0 : int32_t(rng()) >> (32 - bits);
    std::string s = SignedContent(v);
    ASSERT_EQ(DecodeSigned(s), v);
    size_t need = (v >= -128 && v <= 127)           ? 1
                  : (v >= -32768 && v <= 32767)     ? 2
                  : (v >= -8388608 && v <= 8388607) ? 3
                                                    : 4;
    ASSERT_EQ(s.size(), need) << v;
    uint32_t u = uint32_t(v);
    std::string us = UnsignedContent(u);
    ASSERT_EQ(DecodeUnsigned(us), u);
    ASSERT_EQ(us.size(), u < 0x100u ? 1u : u < 0x10000u ? 2u : u < 0x1000000u ? 3u : 4u);
  }
}

TEST(TagCodec, RealsAndDoubles) {
  EXPECT_EQ(DecodeReal(Octets("42 90 99 9A")), double(72.3f));
  EXPECT_EQ(DecodeDouble(Octets("40 52 00 00 00 00 00 00")), 72.0);
  // Beyond the single range: infinity, never an undefined conversion.
  EXPECT_EQ(ToHex(EncodeReal(A, 0, 1e300)), "44 7F 80 00 00");
  EXPECT_EQ(ToHex(EncodeReal(A, 0, -1e300)), "44 FF 80 00 00");
  EXPECT_TRUE(std::isnan(DecodeReal(EncodeReal(A, 0, std::nan("")).substr(1))));
  // Too short: 0 rather than reading past the content.
  EXPECT_EQ(DecodeReal(Octets("42 90 99")), 0.0);
  EXPECT_EQ(DecodeDouble(Octets("40 52 00 00")), 0.0);
}

TEST(TagCodec, BitStrings) {
  EXPECT_EQ(ToHex(BitStringContent("10110")), "03 B0");
  EXPECT_EQ(ToHex(BitStringContent("11111111")), "00 FF");
  EXPECT_EQ(ToHex(BitStringContent("111111111")), "07 FF 80");
  EXPECT_EQ(ToHex(BitStringContent("1x1")), "05 A0");  // any other character is 0
  EXPECT_EQ(ToHex(EncodeBitString(A, 0, "")), "80");
  EXPECT_EQ(DecodeBitString(Octets("03 B0")), "10110");
  EXPECT_EQ(DecodeBitString(Octets("04 F0")), "1111");
  EXPECT_EQ(DecodeBitString(Octets("00")), "");
  EXPECT_EQ(DecodeBitString(""), "");
  EXPECT_EQ(DecodeBitString(Octets("09 FF")), "");  // more unused bits than bits
  EXPECT_EQ(DecodeBitString(Octets("FF FF FF")), "");
  std::mt19937 rng(3);
  for (int n = 0; n < 40; ++n) {
    std::string bits;
    for (int i = 0; i < n; ++i) bits.push_back(rng() & 1 ? '1' : '0');
    ASSERT_EQ(DecodeBitString(BitStringContent(bits)), bits);
  }
}

TEST(TagCodec, Decoders) {
  EXPECT_EQ(DecodeUnsigned(""), 0u);
  EXPECT_EQ(DecodeUnsigned(Octets("01 E0")), 480u);
  // Over-long contents keep the low 32 bits, so zero padding reads right.
  EXPECT_EQ(DecodeUnsigned(Octets("00 00 00 01 00")), 256u);
  EXPECT_EQ(DecodeUnsigned(Octets("12 34 56 78 9A BC DE F0")), 0x9ABCDEF0u);
  EXPECT_EQ(DecodeSigned(Octets("FF FF FF FF FF 7F")), -129);
  EXPECT_EQ(DecodeSigned(Octets("B8")), -72);
  EXPECT_EQ(DecodeSigned(""), 0);
  EXPECT_TRUE(DecodeBoolean(Octets("01")));
  EXPECT_TRUE(DecodeBoolean(Octets("FF 00")));
  EXPECT_FALSE(DecodeBoolean(Octets("00 01")));
  EXPECT_FALSE(DecodeBoolean(""));
  EXPECT_EQ(DecodeCharacterString(Octets("00") + "abc"), "abc");
  EXPECT_EQ(DecodeCharacterString("abc"), "abc");
  EXPECT_EQ(DecodeCharacterString(Octets("1F")), "");
  EXPECT_EQ(DecodeCharacterString(""), "");
  int32_t type = -1, instance = -1;
  DecodeObjectIdentifier(Octets("02 00 00 03"), type, instance);
  EXPECT_EQ(type, 8);
  EXPECT_EQ(instance, 3);
  DecodeObjectIdentifier(Octets("FF FF FF FF"), type, instance);
  EXPECT_EQ(type, 1023);
  EXPECT_EQ(instance, 4194303);
  DecodeObjectIdentifier(Octets("02 00 00"), type, instance);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(instance, 0);
}

TEST(TagCodec, ObjectIdentifierAndDateTimeFields) {
  // The instance keeps its low 22 bits, the type its low 10.
  EXPECT_EQ(ToHex(EncodeObjectIdentifier(A, 0, 8, 4194304 + 5)), "C4 02 00 00 05");
  EXPECT_EQ(ToHex(EncodeObjectIdentifier(A, 0, 1024 + 2, 1)), "C4 00 80 00 01");
  // A date or time that is not four octets long is written empty.
  EXPECT_EQ(ToHex(EncodeDate(A, 0, Octets("5B 01 18"))), "A0");
  EXPECT_EQ(ToHex(EncodeTime(C, 1, Octets("01 02 03 04 05"))), "18");
}

}  // namespace
}  // namespace zb::bacnet
