#include "session/param_list.h"

#include <gtest/gtest.h>

namespace zb {
namespace {

Variant List(std::vector<Variant> items) { return Variant::MakeList(std::move(items)); }

TEST(ParamList, FirstExactNameWins) {
  Variant l = List({"POINTNAME=X", "COMMAND=GETDATA", "command=lower", "COMMAND=SITETIME",
                    "PASSWORD=", "EXPR=a=b"});
  std::string v = "stale";
  EXPECT_TRUE(FindParam(l, "COMMAND", v));
  EXPECT_EQ(v, "GETDATA");
  EXPECT_FALSE(FindParam(l, "POINT", v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(FindParam(l, "Command", v));
  EXPECT_TRUE(FindParam(l, "PASSWORD", v));
  EXPECT_EQ(v, "");
  EXPECT_TRUE(FindParam(l, "EXPR", v));
  EXPECT_EQ(v, "a=b");
  EXPECT_FALSE(FindParam(l, "POINTNAME=", v));
}

TEST(ParamList, AnyBoundsSingleValuesAndNonTextElements) {
  Variant a = Variant::MakeArray(-3, -1);
  a[-3] = Variant(5);  // converts to "5", does not match
  a[-1] = Variant("VERSION=1.7");
  std::string v;
  EXPECT_TRUE(FindParam(a, "VERSION", v));
  EXPECT_EQ(v, "1.7");

  EXPECT_TRUE(FindParam(Variant("VERSIONCHECK=1.7"), "VERSIONCHECK", v));
  EXPECT_EQ(v, "1.7");
  EXPECT_FALSE(FindParam(Variant(), "X", v));
  EXPECT_FALSE(FindParam(Variant::MakeArray(0, -1), "X", v));
  EXPECT_TRUE(FindParam(List({std::string("BIN=a\0b", 7)}), "BIN", v));
  EXPECT_EQ(v, std::string("a\0b", 3));

  // An element that does not convert stops the lookup; one after the match is never reached.
  Variant bad = List({"A=1", Variant::MakeOctets("\x01"), "B=2"});
  EXPECT_TRUE(FindParam(bad, "A", v));
  EXPECT_THROW(FindParam(bad, "B", v), VariantError);
  EXPECT_THROW(FindParam(List({List({"B=2"})}), "B", v), VariantError);
  int32_t i = 7;
  EXPECT_FALSE(FindIntParam(bad, "B", i));
  EXPECT_EQ(i, 0);
  bool b = true;
  EXPECT_FALSE(FindBoolParam(bad, "B", b));
  EXPECT_FALSE(b);
  double d = 1;
  EXPECT_FALSE(FindRealParam(bad, "B", d));
  EXPECT_EQ(d, 0.0);
  EXPECT_TRUE(FindIntParam(bad, "A", i));
  EXPECT_EQ(i, 1);
}

TEST(ParamList, StrictIntegers) {
  Variant l = List({"A= -12", "B=$1f", "C=5 ", "D=", "E=2147483648", "F=12.0", "G=+7",
                    "H=-2147483648", "I=abc"});
  int32_t v = 99;
  EXPECT_TRUE(FindIntParam(l, "A", v));
  EXPECT_EQ(v, -12);
  EXPECT_TRUE(FindIntParam(l, "B", v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(FindIntParam(l, "G", v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(FindIntParam(l, "H", v));
  EXPECT_EQ(v, INT32_MIN);
  for (const char* n : {"C", "D", "E", "F", "I", "MISSING"}) {
    v = 99;
    EXPECT_FALSE(FindIntParam(l, n, v)) << n;
    EXPECT_EQ(v, 0) << n;
  }
}

TEST(ParamList, BooleansAndReals) {
  Variant l = List({"A=TRUE", "B=true", "C=1", "D=ON", "E=FALSE", "R=-1.5e2", "S=1,5", "T="});
  bool b = false;
  EXPECT_TRUE(FindBoolParam(l, "A", b));
  EXPECT_TRUE(b);
  for (const char* n : {"B", "C", "D", "E"}) {
    b = true;
    EXPECT_TRUE(FindBoolParam(l, n, b)) << n;
    EXPECT_FALSE(b) << n;
  }
  b = true;
  EXPECT_FALSE(FindBoolParam(l, "Z", b));
  EXPECT_FALSE(b);

  double d = 0;
  EXPECT_TRUE(FindRealParam(l, "R", d));
  EXPECT_DOUBLE_EQ(d, -150);
  d = 3;
  EXPECT_FALSE(FindRealParam(l, "S", d));
  EXPECT_EQ(d, 0.0);
  EXPECT_FALSE(FindRealParam(l, "T", d));
}

TEST(ParamList, Writers) {
  EXPECT_EQ(MakeParam("VALUE", "12.5"), "VALUE=12.5");
  EXPECT_EQ(MakeParam("X", ""), "X=");
  EXPECT_EQ(MakeBoolParam("COMMANDSTATUS", true), "COMMANDSTATUS=TRUE");
  EXPECT_EQ(MakeBoolParam("COMMANDSTATUS", false), "COMMANDSTATUS=FALSE");
  std::string v;
  EXPECT_TRUE(FindParam(Variant(MakeParam("P", "a=b")), "P", v));
  EXPECT_EQ(v, "a=b");
}

}  // namespace
}  // namespace zb
