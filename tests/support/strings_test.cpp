#include "support/strings.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "support/number_text.h"

namespace zb {
namespace {

using namespace std::string_literals;

TEST(Substrings, CountsAndPositionsStayInsideTheText) {
  EXPECT_EQ(LeftStr("abc", 2), "ab");
  EXPECT_EQ(LeftStr("abc", 9), "abc");
  EXPECT_EQ(LeftStr("abc", -1), "");
  EXPECT_EQ(RightStr("abc", 2), "bc");
  EXPECT_EQ(RightStr("abc", 9), "abc");
  EXPECT_EQ(RightStr("abc", INT_MIN), "");
  EXPECT_EQ(MidStr("abcdef", 2, 3), "bcd");
  EXPECT_EQ(MidStr("abcdef", 5, 100), "ef");
  EXPECT_EQ(MidStr("abcdef", 7, 1), "");
  EXPECT_EQ(MidStr("abcdef", 0, 2), "ab");
  EXPECT_EQ(MidStr("abcdef", INT_MIN, INT_MAX), "abcdef");
  EXPECT_EQ(MidStr("abcdef", INT_MAX, INT_MAX), "");
  EXPECT_EQ(MidStr("abc", 2, 0), "");
}

TEST(Substrings, AroundSeparators) {
  EXPECT_EQ(TextBefore("key=val=x", "="), "key");
  EXPECT_EQ(TextBefore("none", "="), "none");
  EXPECT_EQ(TextBefore("abc", ""), "abc");
  EXPECT_EQ(TextAfter("key=val=x", "="), "val=x");
  EXPECT_EQ(TextAfter("none", "="), "none");
  EXPECT_EQ(TextAfter("x=", "="), "");
  EXPECT_EQ(TextAfter("aXYb", "XY"), "Yb");  // only the first character of sep is counted
  EXPECT_EQ(TextFrom("a-b-c", "-"), "-b-c");
  EXPECT_EQ(TextFrom("abc", "-"), "abc");
  EXPECT_EQ(TextBeforeLast("a\\b\\c", "\\"), "a\\b\\");
  EXPECT_EQ(TextBeforeLast("abc", "\\"), "abc");
  EXPECT_EQ(TextBeforeLast("aXYbXYc", "XY"), "aXYbX");
  EXPECT_EQ(RemoveText("abcabc", "bc"), "aabc");
  EXPECT_EQ(RemoveText("abc", "x"), "abc");
  EXPECT_EQ(TextPos("abcabc", "ca"), 3);
  EXPECT_EQ(TextPos("abc", "x"), 0);
  EXPECT_EQ(TextPos("abc", ""), 0);
  EXPECT_EQ(TextPos("a\0b"s, "b"), 3);
}

TEST(Substrings, TextBeforeLastBeyond255Characters) {
  std::string s = std::string(300, 'a') + "\\" + std::string(50, 'b') + "\\" + "tail";
  EXPECT_EQ(TextBeforeLast(s, "\\"), s.substr(0, 352));
  std::string only_late = std::string(400, 'x') + "/" + "y";
  EXPECT_EQ(TextBeforeLast(only_late, "/"), std::string(400, 'x') + "/");
}

TEST(Substrings, TextBetween) {
  EXPECT_EQ(TextBetween("[5]12-AIN", '[', ']', 1), "5");
  EXPECT_EQ(TextBetween("[5]12-AIN", '[', ']'), "5");
  EXPECT_EQ(TextBetween("[512-AIN", '[', ']', 1), "");
  EXPECT_EQ(TextBetween("a{1}b{2}", '{', '}', 4), "2");
  EXPECT_EQ(TextBetween("a{1}b{2}", '{', '}', 3), "2");
  EXPECT_EQ(TextBetween("{}", '{', '}', 1), "");
  EXPECT_EQ(TextBetween("{x}", '{', '}', 3), "");  // start not below the length
  EXPECT_EQ(TextBetween("", '{', '}', 1), "");
  EXPECT_EQ(TextBetween("{x}", '{', '}', -5), "x");
  EXPECT_EQ(TextBetween("{x}", '{', '}', INT_MAX), "");
  EXPECT_EQ(TextBetween("][x]", '[', ']', 1), "x");  // close must follow open
}

TEST(Substrings, ShapingAndCase) {
  EXPECT_EQ(PadLeft("7", "0", 2), "07");
  EXPECT_EQ(PadLeft("123", "0", 2), "123");
  EXPECT_EQ(PadLeft("1", "ab", 3), "abab1");
  EXPECT_EQ(PadLeft("1", "0", -3), "1");
  EXPECT_EQ(TrimLeadingSpaces("  \tx "), "\tx ");
  EXPECT_EQ(ReplaceAllText("a-B-b", "b", "xx"), "a-xx-xx");
  EXPECT_EQ(ReplaceAllText("aaa", "aa", "a"), "aa");  // replaced text is not scanned again
  EXPECT_EQ(ReplaceAllText("abc", "", "x"), "abc");
  EXPECT_TRUE(IsDigitChar('0'));
  EXPECT_TRUE(IsDigitChar('9'));
  EXPECT_FALSE(IsDigitChar('a'));
  EXPECT_TRUE(IsLetterChar('z'));
  EXPECT_TRUE(IsLetterChar('A'));
  EXPECT_FALSE(IsLetterChar('@'));
  EXPECT_FALSE(IsLetterChar('['));
  EXPECT_FALSE(IsLetterChar('\xE9'));
}

TEST(LenientConversions, Integers) {
  EXPECT_EQ(TextToInt("-ON"), -1);
  EXPECT_EQ(TextToInt("-on"), -1);
  EXPECT_EQ(TextToInt("  42abc"), 0);
  EXPECT_EQ(TextToInt("42 abc"), 42);
  EXPECT_EQ(TextToInt(""), 0);
  EXPECT_EQ(TextToInt("12.5"), 0);
  EXPECT_EQ(TextToInt("75 %"), 75);
  EXPECT_EQ(TextToInt("75%"), 75);
  EXPECT_EQ(TextToInt(" on"), 1);
  EXPECT_EQ(TextToInt("True"), 1);
  EXPECT_EQ(TextToInt("OFF"), 0);
  EXPECT_EQ(TextToInt("abc"), 0);
  EXPECT_EQ(TextToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(TextToInt("2147483648"), 0);
  EXPECT_EQ(TextToInt("+12"), 12);
  EXPECT_EQ(TextToInt("$1F"), 31);
  EXPECT_EQ(TextToInt("4\0"s
                      "2"),
            0);
}

TEST(LenientConversions, BooleansAndReals) {
  EXPECT_FALSE(TextToBool("0.0"));
  EXPECT_TRUE(TextToBool("2"));
  EXPECT_FALSE(TextToBool("off"));
  EXPECT_TRUE(TextToBool("-ON"));
  EXPECT_TRUE(TextToBool(" true"));
  EXPECT_TRUE(TextToBool("0.001"));
  EXPECT_FALSE(TextToBool("yes"));
  EXPECT_FALSE(TextToBool(""));
  EXPECT_DOUBLE_EQ(TextToDouble("12.5 degC"), 12.5);
  EXPECT_DOUBLE_EQ(TextToDouble("75 %"), 75);
  EXPECT_DOUBLE_EQ(TextToDouble("-ON"), -1);
  EXPECT_DOUBLE_EQ(TextToDouble("TRUE"), 1);
  EXPECT_DOUBLE_EQ(TextToDouble("-1.5e3"), -1500);
  EXPECT_DOUBLE_EQ(TextToDouble("12,5"), 0);
  EXPECT_DOUBLE_EQ(TextToDouble("1e999"), 0);
  EXPECT_DOUBLE_EQ(TextToDouble("1e-999"), 0);
  EXPECT_DOUBLE_EQ(TextToDouble("inf"), 0);
  EXPECT_DOUBLE_EQ(TextToDouble("nan"), 0);
  EXPECT_FLOAT_EQ(TextToSingle("0.5"), 0.5f);
  EXPECT_FLOAT_EQ(TextToSingle("on"), 1.0f);
  EXPECT_FLOAT_EQ(TextToSingle("1e300"), 0.0f);  // beyond single range
}

TEST(StrictNumbers, Integers) {
  int32_t v = 0;
  EXPECT_TRUE(TryStrToInt("  -12", v));
  EXPECT_EQ(v, -12);
  EXPECT_TRUE(TryStrToInt("$ff", v));
  EXPECT_EQ(v, 255);
  EXPECT_TRUE(TryStrToInt("-$10", v));
  EXPECT_EQ(v, -16);
  EXPECT_TRUE(TryStrToInt("$FFFFFFFF", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(TryStrToInt("2147483647", v));
  EXPECT_EQ(v, INT32_MAX);
  EXPECT_TRUE(TryStrToInt("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  for (const char* bad : {"", " ", "-", "$", "12 ", "1x", "2147483648", "-2147483649", "$100000000",
                          "0x10", "1.0", "+-1"})
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
  double d = 0;
  EXPECT_TRUE(TryStrToFloat(" 1.5 ", d));
  EXPECT_DOUBLE_EQ(d, 1.5);
  EXPECT_TRUE(TryStrToFloat("1e-400", d));  // underflow reads as 0, unlike the Variant's
  EXPECT_EQ(d, 0.0);
  for (const char* bad : {"", ".", "1e", "1,5", "1.5x", "--1", "e5", "\t1", "1e400"})
    EXPECT_FALSE(TryStrToFloat(bad, d)) << bad;
}

TEST(NumberTexts, RealsKeepFifteenDigitsSinglesTheirShortestText) {
  EXPECT_EQ(RealToText(double(0.1f)), "0.100000001490116");
  EXPECT_EQ(RealToText(double(1e-5f)), "9.99999974737875E-06");
  EXPECT_EQ(RealToText(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(RealToText(-0.0), "0");
  EXPECT_EQ(SingleToText(0.1f), "0.1");
  EXPECT_EQ(SingleToText(1e-5f), "1E-05");
  EXPECT_EQ(SingleToText(-21.5f), "-21.5");
  EXPECT_EQ(SingleToText(100000.f), "100000") << "the layout of the reals, not %.1g";
  EXPECT_EQ(SingleToText(1e20f), "1E+20");
  EXPECT_EQ(SingleToText(1.0f / 3), "0.33333334");
  EXPECT_EQ(SingleToText(16777216.f), "16777216");
  EXPECT_EQ(SingleToText(FLT_MAX), "3.4028235E+38");
  EXPECT_EQ(SingleToText(FLT_TRUE_MIN), "1E-45");
  EXPECT_EQ(SingleToText(-0.0f), "0");
  EXPECT_EQ(SingleToText(HUGE_VALF), RealToText(HUGE_VAL));
}

// Whatever the bits, the text reads back as the same single in at most nine digits.
TEST(NumberTexts, SingleTextsReadBackExactly) {
  uint32_t bits = 12345;
  for (int i = 0; i < 50000; ++i) {
    bits = bits * 1664525u + 1013904223u;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (!std::isfinite(f)) continue;
    const std::string t = SingleToText(f);
    ASSERT_EQ(std::strtof(t.c_str(), nullptr), f) << t;
    std::string digits;
    for (char c : t.substr(0, t.find('E')))
      if (c >= '0' && c <= '9') digits += c;
    digits.erase(0, digits.find_first_not_of('0'));
    digits.erase(digits.find_last_not_of('0') + 1);
    ASSERT_LE(digits.size(), 9u) << t;
  }
}

TEST(HexAndOctets, HexTexts) {
  EXPECT_EQ(HexToInt("ff"), 255);
  EXPECT_EQ(HexToInt("FFFF"), 65535);
  EXPECT_EQ(HexToInt("12345"), 0);
  EXPECT_EQ(HexToInt(""), 0);
  EXPECT_EQ(HexToInt("1G"), 16);  // a non-digit counts as 0
  EXPECT_EQ(HexToInt("\0"s), 0);
  EXPECT_EQ(BytesToHex("\x0a\xff"), "0AFF");
  EXPECT_EQ(HexToBytes("0AFF"), "\x0a\xff");
  EXPECT_EQ(HexToBytes("0aF"), "\x0a");  // odd last digit ignored
  EXPECT_EQ(HexToBytes(""), "");
  EXPECT_EQ(BytesToBracketHex("\xc0\xa8"), "[C0][A8]");
  EXPECT_EQ(BytesToBracketHex("\0\x01"s), "[00][01]");
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(HexToBytes(BytesToHex(all)), all);
}

TEST(HexAndOctets, DottedAddresses) {
  EXPECT_EQ(DottedToInt("192.168.1.10"), 0xC0A8010Au);
  EXPECT_EQ(DottedToInt("0.0.0.0"), 0u);
  EXPECT_EQ(DottedToInt("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(DottedToInt("1.2.3"), 0u);
  EXPECT_EQ(DottedToInt("1.2.3.4.5"), 0u);
  EXPECT_EQ(DottedToInt("1.2.x.4"), 0u);
  EXPECT_EQ(DottedToInt("1.2.256.4"), 0u);
  EXPECT_EQ(DottedToInt("1..3.4"), 0u);
  EXPECT_EQ(DottedToInt(""), 0u);
}

TEST(HexAndOctets, BigEndianPacking) {
  EXPECT_EQ(GetWord("\x01", 1), 0);
  EXPECT_EQ(GetWord("\x12\x34", 1), 0x1234);
  EXPECT_EQ(GetWord("\x12\x34", 2), 0);
  EXPECT_EQ(GetWord("\x12\x34", 0), 0);
  EXPECT_EQ(GetWord("\x12\x34", INT_MAX), 0);
  EXPECT_EQ(GetLong("\x00\xde\xad\xbe\xef"s, 2), 0xDEADBEEFu);
  EXPECT_EQ(GetLong("\xde\xad\xbe", 1), 0u);
  EXPECT_EQ(GetLong("\xde\xad\xbe\xef", INT_MIN), 0u);
  EXPECT_EQ(WordToBytes(0x0102), "\x01\x02");
  EXPECT_EQ(LongToBytes(0x00FF0001), "\x00\xff\x00\x01"s);
  EXPECT_EQ(GetLong(LongToBytes(0x89ABCDEF), 1), 0x89ABCDEFu);

  uint32_t v = 0;
  ReverseCopy("\xAA\x01\x02\x03\x04", 2, &v, 4);
  EXPECT_EQ(v, 0x01020304u);  // this machine is little-endian
  unsigned char d[4] = {9, 9, 9, 9};
  ReverseCopy("\x01\x02", 1, d, 4);  // beyond the end: zeros
  EXPECT_EQ(std::memcmp(d, "\x00\x00\x02\x01", 4), 0);
  ReverseCopy("\x01\x02", 1, d, 0);
  ReverseCopy("\x01\x02", 1, nullptr, 2);
}

TEST(HexAndOctets, Bits) {
  std::string b(2, '\0');
  SetBit(b, 0);
  SetBit(b, 9);
  SetBit(b, 16);  // out of range: ignored
  SetBit(b, -1);
  EXPECT_EQ(b, "\x80\x40");
  EXPECT_TRUE(TestBit(b, 0));
  EXPECT_FALSE(TestBit(b, 1));
  EXPECT_TRUE(TestBit(b, 9));
  EXPECT_FALSE(TestBit(b, 16));
  EXPECT_FALSE(TestBit(b, -8));
  EXPECT_FALSE(TestBit(std::string_view(), 0));
}

}  // namespace
}  // namespace zb
