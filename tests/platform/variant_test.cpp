#include "platform/variant.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

namespace zb {
namespace {

TEST(Variant, ArraysKeepTheirBoundsAndCopiesAreIndependent) {
  Variant a = Variant::MakeArray(-2, 1);
  EXPECT_TRUE(a.IsArray());
  EXPECT_EQ(a.LowBound(), -2);
  EXPECT_EQ(a.HighBound(), 1);
  EXPECT_EQ(a.Count(), 4);
  EXPECT_TRUE(a[-2].IsEmpty());
  a[-2] = Variant("x");
  a[1] = Variant(7);
  EXPECT_THROW(a.At(2), VariantError);
  EXPECT_THROW(a.At(-3), VariantError);

  Variant b = a;  // shares storage until written
  b[-2] = Variant("y");
  EXPECT_EQ(a[-2].AsTextRaw(), "x");
  EXPECT_EQ(b[-2].AsTextRaw(), "y");
  b.Append(Variant(true));
  EXPECT_EQ(a.Count(), 4);
  EXPECT_EQ(b.HighBound(), 2);
  EXPECT_EQ(b[2], Variant(true));

  b.Redim(-1);
  EXPECT_EQ(b.Count(), 2);
  EXPECT_EQ(b[-2].AsTextRaw(), "y");
  b.Redim(-10);  // below the lower bound: empty, bounds kept
  EXPECT_EQ(b.Count(), 0);
  EXPECT_EQ(b.LowBound(), -2);
  EXPECT_EQ(b.HighBound(), -3);
  EXPECT_EQ(a.Count(), 4);
}

TEST(Variant, EmptyArraysAndNonArrays) {
  Variant e = Variant::MakeArray(5, 4);
  EXPECT_EQ(e.Count(), 0);
  EXPECT_TRUE(e.Elements().empty());
  EXPECT_THROW(e.At(5), VariantError);
  e.Append(Variant("a"));
  EXPECT_EQ(e.LowBound(), 5);
  EXPECT_EQ(e[5].AsTextRaw(), "a");

  Variant t("x");
  EXPECT_EQ(t.Count(), 0);
  EXPECT_TRUE(t.Elements().empty());
  EXPECT_THROW(t.LowBound(), VariantError);
  EXPECT_THROW(t.At(0), VariantError);
  EXPECT_THROW(t.Append(Variant(1)), VariantError);

  EXPECT_THROW(Variant::MakeArray(INT_MIN, INT_MAX), VariantError);
  Variant top = Variant::MakeArray(INT_MAX, INT_MAX);
  EXPECT_EQ(top.HighBound(), INT_MAX);
  EXPECT_THROW(top.Append(Variant(1)), VariantError);
}

TEST(Variant, ListsAndOctets) {
  Variant l = Variant::MakeList({Variant(1), Variant("a"), Variant()});
  EXPECT_EQ(l.LowBound(), 0);
  EXPECT_EQ(l.HighBound(), 2);
  EXPECT_EQ(l.Describe(), "[1, \"a\", Empty]");

  std::string raw("\x00\xff\x10", 3);
  Variant o = Variant::MakeOctets(raw);
  EXPECT_TRUE(o.IsOctets());
  EXPECT_FALSE(o.IsArray());
  EXPECT_EQ(o.AsTextRaw(), raw);
  EXPECT_EQ(o.Describe(), "octets(00FF10)");
  EXPECT_NE(o, Variant(raw));  // an octet array is not a text
  std::string s;
  EXPECT_FALSE(o.TryToText(s));
  EXPECT_THROW(o.ToText(), VariantError);
  EXPECT_FALSE(l.TryToText(s));
  int32_t i;
  EXPECT_FALSE(l.TryToInt(i));
}

TEST(Variant, TextsMayHoldZeroBytes) {
  std::string z("a\0b", 3);
  Variant v(z);
  EXPECT_EQ(v.ToText().size(), 3u);
  EXPECT_EQ(v.ToText(), z);
  EXPECT_NE(v, Variant("a"));
  EXPECT_EQ(v.Describe(), "\"a\\x00b\"");
}

TEST(Variant, ToText) {
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant(-42).ToText(), "-42");
  EXPECT_EQ(Variant(INT32_MIN).ToText(), "-2147483648");
  EXPECT_EQ(Variant(true).ToText(), "True");
  EXPECT_EQ(Variant(false).ToText(), "False");
  EXPECT_EQ(Variant(0.1).ToText(), "0.1");
  EXPECT_EQ(Variant(12.5).ToText(), "12.5");
  EXPECT_EQ(Variant(-0.0).ToText(), "0");
  EXPECT_EQ(Variant(1.0 / 3).ToText(), "0.333333333333333");
  EXPECT_EQ(Variant(1e20).ToText(), "1E+20");
  EXPECT_EQ(Variant(1e-5).ToText(), "1E-05");
  EXPECT_EQ(Variant(123456.0).ToText(), "123456");
}

TEST(Variant, ToInt) {
  int32_t v = 99;
  EXPECT_TRUE(Variant().TryToInt(v));
  EXPECT_EQ(v, 0);
  EXPECT_EQ(Variant(true).ToInt(), -1);
  EXPECT_EQ(Variant(2.5).ToInt(), 2);  // half to even
  EXPECT_EQ(Variant(3.5).ToInt(), 4);
  EXPECT_EQ(Variant(-2.5).ToInt(), -2);
  EXPECT_EQ(Variant(-2.6).ToInt(), -3);
  EXPECT_EQ(Variant(2147483647.4).ToInt(), INT32_MAX);
  EXPECT_FALSE(Variant(2147483647.5).TryToInt(v));
  EXPECT_EQ(Variant(-2147483648.0).ToInt(), INT32_MIN);
  EXPECT_FALSE(Variant(-2147483649.0).TryToInt(v));
  EXPECT_FALSE(Variant(std::nan("")).TryToInt(v));
  EXPECT_EQ(Variant(" 42 ").ToInt(), 42);
  EXPECT_EQ(Variant("+7").ToInt(), 7);
  EXPECT_EQ(Variant("12.5").ToInt(), 12);
  EXPECT_EQ(Variant("1e3").ToInt(), 1000);
  EXPECT_EQ(Variant("-2147483648").ToInt(), INT32_MIN);
  for (const char* bad : {"", " ", "abc", "12a", "1 2", "-", ".", "1e", "2147483648", "1e400",
                          "inf", "nan", "0x10"}) {
    EXPECT_FALSE(Variant(bad).TryToInt(v)) << bad;
  }
  EXPECT_THROW(Variant("abc").ToInt(), VariantError);
  EXPECT_FALSE(Variant(std::string("1\0", 2)).TryToInt(v));
}

TEST(Variant, ToRealAndBool) {
  EXPECT_DOUBLE_EQ(Variant(" -1.25e1 ").ToReal(), -12.5);
  EXPECT_DOUBLE_EQ(Variant(".5").ToReal(), 0.5);
  EXPECT_DOUBLE_EQ(Variant("5.").ToReal(), 5.0);
  EXPECT_DOUBLE_EQ(Variant(true).ToReal(), -1.0);
  EXPECT_DOUBLE_EQ(Variant(7).ToReal(), 7.0);
  double d;
  EXPECT_FALSE(Variant("1,5").TryToReal(d));
  EXPECT_DOUBLE_EQ(Variant("\t5\t").ToReal(), 5.0);
  EXPECT_FALSE(Variant("1e-400").TryToReal(d));  // out of range either way is refused
  EXPECT_FALSE(Variant("").TryToReal(d));

  EXPECT_TRUE(Variant(" tRuE ").ToBool());
  EXPECT_FALSE(Variant("FALSE").ToBool());
  EXPECT_TRUE(Variant("-3").ToBool());
  EXPECT_FALSE(Variant("0.0").ToBool());
  EXPECT_TRUE(Variant(0.5).ToBool());
  EXPECT_FALSE(Variant().ToBool());
  bool b;
  EXPECT_FALSE(Variant("yes").TryToBool(b));
  EXPECT_FALSE(Variant("on").TryToBool(b));
  EXPECT_THROW(Variant::MakeList({}).ToBool(), VariantError);
}

TEST(Variant, Equality) {
  EXPECT_EQ(Variant(), Variant());
  EXPECT_NE(Variant(1), Variant(1.0));
  EXPECT_NE(Variant(1), Variant(true));
  EXPECT_EQ(Variant::MakeList({Variant(1)}), Variant::MakeList({Variant(1)}));
  Variant a = Variant::MakeArray(1, 1);
  a[1] = Variant(1);
  EXPECT_NE(a, Variant::MakeList({Variant(1)}));  // same element, other bounds
  EXPECT_EQ(Variant::MakeArray(1, 1).Describe(), "1:[Empty]");
}

}  // namespace
}  // namespace zb
