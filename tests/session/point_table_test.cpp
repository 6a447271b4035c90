#include "session/point_table.h"

#include <gtest/gtest.h>

#include <vector>

#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb {
namespace {

Variant List(std::vector<Variant> items) { return Variant::MakeList(std::move(items)); }

TEST(BraceGroupTest, TakesGroupsInOrder) {
  EXPECT_EQ(BraceGroup("{a}{2-AIN#1}{x}{y}", 1), "a");
  EXPECT_EQ(BraceGroup("{a}{2-AIN#1}{x}{y}", 2), "2-AIN#1");
  EXPECT_EQ(BraceGroup("{a}{2-AIN#1}{x}{y}", 4), "y");
  EXPECT_EQ(BraceGroup("{a}{2-AIN#1}", 3), "");
  EXPECT_EQ(BraceGroup("{a}{b", 2), "");
  EXPECT_EQ(BraceGroup("junk{a}more{b}", 2), "b");
  EXPECT_EQ(BraceGroup("", 1), "");
}

TEST(PointTableTest, InstallSkipsDuplicatesAndStopsAtFirstGap) {
  TPointCache c;
  std::vector<std::string> names;
  ASSERT_TRUE(c.InstallPointList(
      List({"COMMAND=SENDPOINTSLIST", "POINT0={a}{2-AIN#1}{x}{y}", "POINT1={b}{2-ain#1}{x}{y}",
            "POINT2={c}{2-BIN#3}{}{}", "POINT3=", "POINT4={d}{2-AVAL#9}{}{}"}),
      names));
  EXPECT_EQ(names.size(), 3u);
  ASSERT_EQ(c.PointTable.Count(), 2);
  EXPECT_EQ(c.PointTable.Address(0), "2-AIN#1");
  EXPECT_EQ(c.PointTable.Address(1), "2-BIN#3");
  EXPECT_TRUE(c.PointsReplaced);
  EXPECT_EQ(c.PointTable.IndexOf("2-bin#3"), 1);
}

TEST(PointTableTest, ReinstallKeepsValuesAndErrorCounts) {
  TPointCache c;
  std::vector<std::string> names;
  c.InstallPointList(List({"POINT0={a}{2-AIN#1}{}{}", "POINT1={b}{2-AIN#2}{}{}"}), names);
  c.PointsReplaced = false;
  c.StorePointValue("2-AIN#1", "72.5");
  c.PointTable.Data(1).ErrorCount = 3;
  c.InstallPointList(
      List({"POINT0={z}{2-ain#2}{}{}", "POINT1={a}{2-AIN#1}{}{}", "POINT2={n}{2-AIN#7}{}{}"}),
      names);
  ASSERT_EQ(c.PointTable.Count(), 3);
  EXPECT_EQ(c.PointTable.Data(0).ErrorCount, 3);
  EXPECT_EQ(c.PointTable.Data(1).Value, "72.5");
  EXPECT_TRUE(c.PointTable.Data(1).HasValue);
  EXPECT_FALSE(c.PointTable.Data(2).HasValue);
}

TEST(PointTableTest, UnreadableListLeavesTableAlone) {
  TPointCache c;
  std::vector<std::string> names;
  c.InstallPointList(List({"POINT0={a}{2-AIN#1}{}{}"}), names);
  c.PointsReplaced = false;
  EXPECT_FALSE(c.InstallPointList(List({Variant::MakeList({1, 2})}), names));
  EXPECT_EQ(c.PointTable.Count(), 1);
  EXPECT_FALSE(c.PointsReplaced);
}

TEST(PointTableTest, StoreTurnsOnOffIntoBooleansAndResetsErrors) {
  TPointCache c;
  std::vector<std::string> names;
  c.InstallPointList(List({"POINT0={a}{2-BIN#1}{}{}"}), names);
  c.StorePointValue("2-BIN#1", "On");
  EXPECT_FALSE(c.PointTable.Data(0).HasValue) << "ignored while the table is new";
  c.PointsReplaced = false;
  c.PointTable.Data(0).ErrorCount = 5;
  c.StorePointValue("2-bin#1", "on");
  EXPECT_EQ(c.PointTable.Data(0).Value, "TRUE");
  EXPECT_EQ(c.PointTable.Data(0).ErrorCount, 0);
  c.StorePointValue("2-BIN#1", "OFF now");
  EXPECT_EQ(c.PointTable.Data(0).Value, "FALSE");
  c.StorePointValue("2-BIN#1", "1");
  EXPECT_EQ(c.PointTable.Data(0).Value, "1");
  c.StorePointValue("2-BIN#9", "1");  // not in the table: nothing happens
}

// The scan against a fake device: every read gets the next handle.
struct ScanRig {
  TPointCache c;
  std::vector<std::string> names;
  std::vector<std::string> reads;
  int next_handle = 1;
  bool refuse = false;
  void Install(std::vector<Variant> points) { c.InstallPointList(List(std::move(points)), names); }
  void Step(int n = 1, bool offline = false) {
    for (int i = 0; i < n; ++i)
      c.ScanStep(
          offline,
          [this](const Variant& r) {
            reads.push_back(r[0].ToText() + ":" + r[1].ToText());
            return refuse ? -1 : next_handle++;
          },
          30);
  }
  static Variant Answer(const std::string& value) {
    return List(
        {List({2, 0, "x"}), List({2, 1, "x"}), List({3, 3}), List({1, 4, value}), List({4, 3})});
  }
};

TEST(PointScanTest, ReadsEveryPointThenPausesTwoSeconds) {
  ScanRig r;
  r.Install({"POINT0={a}{2-AIN#1}{}{}", "POINT1={b}{2-BIN#2:81}{}{}"});
  r.Step();  // restart: 901 with no wait falls to 0
  EXPECT_EQ(r.c.ScanState, 0);
  EXPECT_FALSE(r.c.PointsReplaced);
  r.Step();  // 0 -> 1
  EXPECT_EQ(r.c.ScanState, 1);
  r.Step();  // sends the first read
  ASSERT_EQ(r.reads, std::vector<std::string>{"2-AIN#1:85"});
  EXPECT_EQ(r.c.ScanState, 2);
  r.Step(3);  // waiting
  EXPECT_EQ(r.c.ScanTicks, 3);
  r.c.HandleScanResponse(99, 3, ScanRig::Answer("1"));  // not our handle
  EXPECT_FALSE(r.c.ScanAnswered);
  r.c.HandleScanResponse(r.c.ScanHandle, 3, ScanRig::Answer("72.5"));
  EXPECT_EQ(r.c.PointTable.Data(0).Value, "72.5");
  r.Step();  // next point on the next tick
  EXPECT_EQ(r.c.ScanState, 1);
  r.Step();
  EXPECT_EQ(r.reads.back(), "2-BIN#2:81:81");
  r.c.HandleScanResponse(r.c.ScanHandle, 3, ScanRig::Answer("ON"));
  EXPECT_EQ(r.c.PointTable.Data(1).Value, "TRUE");
  r.Step();  // end of the pass
  EXPECT_EQ(r.c.ScanState, 901);
  EXPECT_EQ(r.c.ScanWait, 20);
  r.Step(20);
  EXPECT_EQ(r.c.ScanState, 901);
  r.Step();  // the 21st tick of the pause ends it
  EXPECT_EQ(r.c.ScanState, 0);
  r.Step(2);
  EXPECT_EQ(r.reads.size(), 3u);
  EXPECT_EQ(r.reads.back(), "2-AIN#1:85") << "wraps to the first point";
}

TEST(PointScanTest, ThreeFailuresDropAPointUntilAValueIsStored) {
  ScanRig r;
  r.Install({"POINT0={a}{2-AIN#1}{}{}", "POINT1={b}{2-AIN#2}{}{}"});
  r.Step(2);
  for (int pass = 0; pass < 3; ++pass) {
    r.Step();  // reads AIN#1
    r.c.HandleScanResponse(r.c.ScanHandle, 5, Variant());
    r.Step(2);  // -> 1, reads AIN#2
    r.c.HandleScanResponse(r.c.ScanHandle, 3, ScanRig::Answer("1"));
    r.Step();    // -> 901
    r.Step(21);  // pause
    r.Step();    // 0 -> 1
  }
  EXPECT_EQ(r.c.PointTable.Data(0).ErrorCount, 3);
  const size_t before = r.reads.size();
  r.Step();  // AIN#1 is skipped without a read
  EXPECT_EQ(r.reads.size(), before);
  r.Step();
  EXPECT_EQ(r.reads.back(), "2-AIN#2:85");
  r.c.StorePointValue("2-AIN#1", "5");  // a successful write
  EXPECT_EQ(r.c.PointTable.Data(0).ErrorCount, 0);
}

TEST(PointScanTest, UnsentReadCountsAsFailureAndMovesOn) {
  ScanRig r;
  r.Install({"POINT0={a}{2-AIN#1}{}{}"});
  r.refuse = true;
  r.Step(3);
  EXPECT_EQ(r.c.PointTable.Data(0).ErrorCount, 1);
  EXPECT_EQ(r.c.ScanState, 0);
  EXPECT_TRUE(r.c.ScanAnswered);
}

TEST(PointScanTest, UnansweredReadGivesUpAfterTimeoutWithOneSecondPause) {
  ScanRig r;
  r.Install({"POINT0={a}{2-AIN#1}{}{}"});
  r.Step(3);
  ASSERT_EQ(r.c.ScanState, 2);
  r.Step(30);
  EXPECT_EQ(r.c.ScanState, 2);
  r.Step();
  EXPECT_EQ(r.c.ScanState, 901);
  EXPECT_EQ(r.c.ScanWait, 10);
}

TEST(PointScanTest, RebuildRestartsAndDropsLateAnswers) {
  ScanRig r;
  r.Install({"POINT0={a}{2-AIN#1}{}{}"});
  r.Step(3);
  const int old = r.c.ScanHandle;
  r.Install({"POINT0={a}{2-AIN#1}{}{}", "POINT1={a}{2-AIN#5}{}{}"});
  r.c.HandleScanResponse(old, 3, ScanRig::Answer("9"));
  EXPECT_FALSE(r.c.PointTable.Data(0).HasValue);
  r.Step();
  EXPECT_EQ(r.c.ScanIndex, -1);
  EXPECT_EQ(r.c.ScanHandle, -1);
  r.c.HandleScanResponse(old, 3, ScanRig::Answer("9"));
  EXPECT_FALSE(r.c.PointTable.Data(0).HasValue) << "an old handle never matches";
}

TEST(PointScanTest, OfflineAndEmptyTablesDoNotRead) {
  ScanRig r;
  r.Step(5);
  EXPECT_TRUE(r.reads.empty());
  r.Install({"POINT0={a}{2-AIN#1}{}{}"});
  r.Step(10, true);
  EXPECT_TRUE(r.reads.empty());
}

TEST(PointScanTest, AckWithoutValueCountsAsFailure) {
  ScanRig r;
  r.Install({"POINT0={a}{2-AIN#1}{}{}"});
  r.Step(3);
  r.c.HandleScanResponse(r.c.ScanHandle, 3, List({List({2, 0, "x"})}));
  EXPECT_EQ(r.c.PointTable.Data(0).ErrorCount, 1);
  EXPECT_FALSE(r.c.PointTable.Data(0).HasValue);
}

// A ReadProperty acknowledgement of AV1's present value as the decoder hands it over.
Variant DecodedAnswer(const std::string& value) {
  using namespace bacnet;
  return DecodeTaggedList(EncodeObjectIdentifier(kTagClassContext, 0, 2, 1) +
                          EncodeUnsigned(kTagClassContext, 1, 85) + EncodeOpeningTag(3) + value +
                          EncodeClosingTag(3));
}

TEST(AnswerTextTest, RealsAsTheirShortestSingleTextDoublesWithFifteenDigits) {
  using namespace bacnet;
  const int A = kTagClassApplication;
  struct Case {
    std::string value;
    const char* text;
  } cases[] = {
      {EncodeReal(A, 0, 0.1), "0.1"},
      {EncodeReal(A, 0, 1e-5), "1E-05"},
      {EncodeReal(A, 0, 21.5), "21.5"},
      {EncodeReal(A, 0, -123456.7), "-123456.7"},
      {EncodeDouble(A, 0, 0.1), "0.1"},
      {EncodeDouble(A, 0, double(0.1f)), "0.100000001490116"},
      {EncodeDouble(A, 0, 1.0 / 3), "0.333333333333333"},
      {EncodeUnsigned(A, 0, 7), "7"},
      {EncodeCharacterString(A, 0, "0.1000"), "0.1000"},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_TRUE(AnswerItemText(DecodedAnswer(c.value), 3, text));
    EXPECT_EQ(text, c.text);
  }
}

TEST(AnswerTextTest, TheScanCachesARealAsItsShortestText) {
  ScanRig r;
  r.Install({"POINT0={a}{2-AIN#1}{}{}"});
  r.Step(3);
  r.c.HandleScanResponse(r.c.ScanHandle, 3,
                         DecodedAnswer(bacnet::EncodeReal(bacnet::kTagClassApplication, 0, 0.1)));
  EXPECT_EQ(r.c.PointTable.Data(0).Value, "0.1");
}

}  // namespace
}  // namespace zb
