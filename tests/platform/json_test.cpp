#include "platform/json.h"

#include <gtest/gtest.h>

#include <cmath>

namespace zb::platform {
namespace {

Json Parse(const std::string& s) {
  Json j;
  std::string err;
  EXPECT_TRUE(ParseJson(s, j, err)) << s << ": " << err;
  return j;
}

std::string ParseError(const std::string& s) {
  Json j;
  std::string err;
  EXPECT_FALSE(ParseJson(s, j, err)) << s;
  return err;
}

Variant RoundTrip(const Variant& v) {
  std::string text = WriteJson(VariantToJson(v));
  Json j = Parse(text);
  Variant back;
  std::string err;
  EXPECT_TRUE(JsonToVariant(j, back, err)) << text << ": " << err;
  return back;
}

TEST(Json, RejectsMalformedAndTrailingInput) {
  for (const char* bad : {"",
                          "{",
                          "{\"a\":}",
                          "[1,]",
                          "[1 2]",
                          "{\"a\" 1}",
                          "tru",
                          "nul",
                          "01",
                          "1.",
                          "-",
                          "1e",
                          "\"abc",
                          "\"\\x\"",
                          "\"\\u12\"",
                          "{} {}",
                          "{\"a\":1,\"a\":2}",
                          "\"a\tb\"",
                          "[1]]",
                          "\"\xC3\"",
                          "\"\xC0\x80\"",
                          "\"\xED\xA0\x80\""}) {
    ParseError(bad);
  }
}

TEST(Json, DepthIsBounded) {
  std::string deep(100, '[');
  deep += std::string(100, ']');
  EXPECT_EQ(ParseError(deep), "nesting too deep");
  std::string ok(60, '[');
  ok += std::string(60, ']');
  Parse(ok);
}

TEST(Json, ParsesValuesAndObjects) {
  Json j = Parse(" {\"id\": 7, \"op\":\"call\", \"params\":[true,null,-1.5e2,\"x\"]} ");
  ASSERT_EQ(j.kind(), Json::Kind::Object);
  EXPECT_EQ(j.Find("id")->AsInteger(), 7);
  EXPECT_EQ(j.Find("op")->AsString(), "call");
  const auto& p = j.Find("params")->Items();
  ASSERT_EQ(p.size(), 4u);
  EXPECT_TRUE(p[0].AsBool());
  EXPECT_TRUE(p[1].IsNull());
  EXPECT_EQ(p[2].kind(), Json::Kind::Real);
  EXPECT_DOUBLE_EQ(p[2].AsReal(), -150.0);
  EXPECT_EQ(j.Find("missing"), nullptr);
}

TEST(Json, StringsAreLatin1Octets) {
  // Every octet value survives writer and parser.
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  std::string text = WriteJson(Json::String(all));
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(Parse(text).AsString(), all);
  // Octet E9 is written as the UTF-8 of U+00E9 and an escape reads as its octet.
  EXPECT_EQ(WriteJson(Json::String("\xE9")), "\"\xC3\xA9\"");
  EXPECT_EQ(Parse("\"\\u00e9\\u0000\"").AsString(), std::string("\xE9\0", 2));
  // Characters without an octet form are refused rather than mangled.
  EXPECT_EQ(ParseError("\"\xE2\x82\xAC\""), "character outside Latin-1 in string");
  EXPECT_EQ(ParseError("\"\\u20ac\""), "character outside Latin-1 in string");
  EXPECT_EQ(ParseError("\"\\ud83d\\ude00\""), "character outside Latin-1 in string");
}

TEST(Json, VariantsMapOneToOne) {
  std::vector<Variant> cases = {
      Variant(),
      Variant(int32_t{0}),
      Variant(int32_t{-2147483647 - 1}),
      Variant(int32_t{2147483647}),
      Variant(1.0),
      Variant(-0.1),
      Variant(1e300),
      Variant(true),
      Variant(false),
      Variant(std::string("COMMANDSTATUS=TRUE")),
      Variant(std::string("a\0b\xFF", 4)),
      Variant::MakeOctets(std::string("\x00\x01\xAB\xFF", 4)),
      Variant::MakeOctets(""),
      Variant::MakeList({}),
      Variant::MakeList({Variant("A=1"), Variant(int32_t{3}), Variant::MakeList({Variant(2.5)})})};
  for (const Variant& v : cases) {
    Variant back = RoundTrip(v);
    EXPECT_EQ(back.type(), v.type()) << v.Describe();
    EXPECT_EQ(back, v) << v.Describe() << " came back as " << back.Describe();
  }
  EXPECT_EQ(WriteJson(VariantToJson(Variant::MakeOctets("\x12\xAB"))), "{\"octets\":\"12ab\"}");
  EXPECT_EQ(WriteJson(VariantToJson(Variant(2.0))), "2.0");
  EXPECT_EQ(WriteJson(VariantToJson(Variant(int32_t{2}))), "2");
}

TEST(Json, ArraysArriveZeroBased) {
  Variant a = Variant::MakeArray(3, 4);
  a[3] = Variant("X=1");
  a[4] = Variant("Y=2");
  Variant back = RoundTrip(a);
  EXPECT_EQ(back.LowBound(), 0);
  EXPECT_EQ(back.HighBound(), 1);
  EXPECT_EQ(back[1].ToText(), "Y=2");
}

TEST(Json, NumbersOutside32BitsBecomeReals) {
  Variant v;
  std::string err;
  ASSERT_TRUE(JsonToVariant(Parse("3000000000"), v, err));
  EXPECT_EQ(v.type(), Variant::Type::Real);
  EXPECT_DOUBLE_EQ(v.AsRealRaw(), 3e9);
  ASSERT_TRUE(JsonToVariant(Parse("123456789012345678901234"), v, err));
  EXPECT_EQ(v.type(), Variant::Type::Real);
  ParseError("1e999");
  EXPECT_EQ(WriteJson(VariantToJson(Variant(std::nan("")))), "null");
}

TEST(Json, RefusesObjectsOtherThanOctets) {
  Variant v;
  std::string err;
  for (const char* bad : {"{}", "{\"octets\":\"abc\"}", "{\"octets\":\"zz\"}", "{\"octets\":1}",
                          "{\"octets\":\"00\",\"x\":1}", "[1,{\"a\":1}]"}) {
    EXPECT_FALSE(JsonToVariant(Parse(bad), v, err)) << bad;
  }
  ASSERT_TRUE(JsonToVariant(Parse("{\"octets\":\"AbCd\"}"), v, err));
  EXPECT_EQ(v.AsTextRaw(), "\xAB\xCD");
}

// A well-formed text refused only for a character above U+00FF still gives the rest of its value,
// so the request can be answered by its id.
TEST(Json, OutsideLatin1KeepsTheRestOfTheValue) {
  Json j;
  std::string err;
  bool wide = false;
  EXPECT_FALSE(ParseJson(R"({"id":7,"p":["\u20ac","ok"]})", j, err, 64, &wide));
  EXPECT_TRUE(wide);
  EXPECT_EQ(err, "character outside Latin-1 in string");
  ASSERT_EQ(j.kind(), Json::Kind::Object);
  EXPECT_EQ(j.Find("id")->AsInteger(), 7);
  EXPECT_TRUE(j.Find("p")->Items()[0].IsNull());
  EXPECT_EQ(j.Find("p")->Items()[1].AsString(), "ok");
  EXPECT_FALSE(ParseJson(R"({"id":7,"p":["\u20ac")", j, err, 64, &wide));
  EXPECT_FALSE(wide);  // not well-formed
}

TEST(Json, WriterKeepsMemberOrderAndEscapesControls) {
  Json o = Json::Object();
  o.Set("z", Json::Integer(1));
  o.Set("a", Json::Real(0.5));
  o.Set("m", Json::String(std::string("\x01\n\"\xFF", 4)));
  EXPECT_EQ(WriteJson(o), "{\"z\":1,\"a\":0.5,\"m\":\"\\u0001\\n\\\"\xC3\xBF\"}");
  // A large object reads in time linear in its members (names checked for duplicates as it goes).
  std::string big = "{";
  for (int i = 0; i < 100000; ++i) big += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
  big += "}";
  EXPECT_EQ(Parse(big).Members().size(), 100000u);
  // A name repeated far from its first use is still refused, on either side of the point where
  // the names go into a set.
  big.back() = ',';
  EXPECT_EQ(ParseError(big + "\"k3\":1}"), "duplicate object member");
  EXPECT_EQ(ParseError(R"({"a":0,"b":0,"c":0,"d":0,"e":0,"f":0,"g":0,"h":0,"i":0,"j":0,"k":0,)"
                       R"("l":0,"m":0,"n":0,"o":0,"p":0,"q":0,"b":1})"),
            "duplicate object member");
}

}  // namespace
}  // namespace zb::platform
