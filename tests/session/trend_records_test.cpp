#include "session/trend_records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "bacnet/app/bacnet_date.h"
#include "bacnet/app/read_range.h"
#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"

namespace zb {
namespace {

using namespace bacnet;

using Plan = std::vector<std::pair<int, int>>;

TEST(TrendPlanTest, ShortLogsInTwelvesFromPositionOne) {
  EXPECT_EQ(TrendRequestPlan(30), (Plan{{1, 12}, {13, 12}, {25, 6}}));
  EXPECT_EQ(TrendRequestPlan(24), (Plan{{1, 12}, {13, 12}}));
  EXPECT_EQ(TrendRequestPlan(5), (Plan{{1, 5}}));
  EXPECT_EQ(TrendRequestPlan(0), Plan{});
  EXPECT_EQ(TrendRequestPlan(-3), Plan{});
  EXPECT_EQ(TrendRequestPlan(96).size(), 8u);
}

TEST(TrendPlanTest, LongLogsTakeTheFirstTwelveAndTheLastNinetySix) {
  Plan p = TrendRequestPlan(200);
  ASSERT_EQ(p.size(), 9u);
  EXPECT_EQ(p[0], std::make_pair(1, 12));
  EXPECT_EQ(p[1], std::make_pair(105, 12));
  EXPECT_EQ(p[8], std::make_pair(189, 12)) << "ends with the newest record, position 200";
  EXPECT_EQ(TrendRequestPlan(97)[1], std::make_pair(2, 12));
}

// Every request stays inside 1..c, the first and the newest record are always asked for, and a
// log that fits the 108-record block is asked for whole.
TEST(TrendPlanTest, RequestsCoverTheLogInsideItsPositions) {
  for (int c = 1; c <= 400; ++c) {
    SCOPED_TRACE(c);
    std::vector<bool> asked(size_t(c) + 1, false);
    for (const auto& [index, n] : TrendRequestPlan(c)) {
      ASSERT_GE(index, 1);
      ASSERT_GE(n, 1);
      ASSERT_LE(index + n - 1, c);
      for (int k = index; k < index + n; ++k) asked[size_t(k)] = true;
    }
    for (int k = 1; k <= c; ++k) {
      const bool wanted = k <= 12 || k > c - 96;
      EXPECT_TRUE(asked[size_t(k)] || !wanted) << "position " << k;
    }
    EXPECT_FALSE(asked[0]);
  }
}

TEST(TrendPlanTest, RangeEncoding) {
  EXPECT_EQ(bacnet::EncodeByPositionRange(24, 6), std::string("\x3e\x21\x18\x31\x06\x3f", 6));
}

// One log record: time stamp [0], datum [1] of the given choice, status flags [2].
std::string Record(int minute, const std::string& datum) {
  std::string r = EncodeOpeningTag(0);
  r += EncodeDate(kTagClassApplication, 0, std::string("\x7e\x0c\x08\x02", 4));
  r += EncodeTime(kTagClassApplication, 0, std::string("\x0a", 1) + char(minute) + '\0' + '\0');
  r += EncodeClosingTag(0);
  r += EncodeOpeningTag(1) + datum + EncodeClosingTag(1);
  r += EncodeBitString(kTagClassContext, 2, "0000");
  return r;
}

std::string Ack(const std::string& records, int count) {
  std::string d = EncodeObjectIdentifier(kTagClassContext, 0, 20, 1);
  d += EncodeUnsigned(kTagClassContext, 1, 131);
  d += EncodeBitString(kTagClassContext, 3, "110");
  d += EncodeUnsigned(kTagClassContext, 4, uint32_t(count));
  d += EncodeOpeningTag(5) + records + EncodeClosingTag(5);
  d += EncodeUnsigned(kTagClassContext, 6, 1);
  return d;
}

double StampAt(int minute) {
  return BACnetDateToDate(std::string("\x7e\x0c\x08\x02", 4)) +
         BACnetTimeToTime(std::string("\x0a", 1) + char(minute) + '\0' + '\0');
}

TEST(TrendDecodeTest, EveryValueKindAndSkippedData) {
  std::string records;
  records += Record(1, EncodeBoolean(kTagClassContext, 1, true));
  records += Record(2, EncodeReal(kTagClassContext, 2, 21.5));
  records += Record(3, EncodeEnumerated(kTagClassContext, 3, 2));
  records += Record(4, EncodeUnsigned(kTagClassContext, 4, 70000));
  records += Record(5, EncodeSigned(kTagClassContext, 5, -12));
  records += Record(6, EncodeBitString(kTagClassContext, 0, "01"));  // log status
  records += Record(7, EncodeNull(kTagClassContext, 7));
  records += Record(8, EncodeOpeningTag(8) + EncodeEnumerated(kTagClassApplication, 0, 2) +
                           EncodeEnumerated(kTagClassApplication, 0, 31) + EncodeClosingTag(8));
  records += Record(9, EncodeReal(kTagClassContext, 9, 1.0));  // time change
  records += Record(2, EncodeReal(kTagClassContext, 2, 99));   // same time stamp as minute 2
  records += Record(10, EncodeBoolean(kTagClassContext, 1, false));
  TTrendBuffer buffer;
  EXPECT_EQ(DecodeTrendRecords(DecodeTaggedList(Ack(records, 11)), buffer), 6);
  ASSERT_EQ(buffer.Count(), 6);
  const double values[] = {1.0, 21.5, 2, 70000, -12, 0};
  const int minutes[] = {1, 2, 3, 4, 5, 10};
  for (int i = 0; i < 6; ++i) {
    EXPECT_DOUBLE_EQ(buffer.Record(i).Value, values[i]) << i;
    EXPECT_DOUBLE_EQ(buffer.Record(i).TimeStamp, StampAt(minutes[i])) << i;
  }
}

TEST(TrendDecodeTest, CapOfOneHundredAndEightRecords) {
  TTrendBuffer buffer;
  for (int request = 0; request < 10; ++request) {
    std::string records;
    for (int k = 0; k < 12; ++k) {
      std::string r = EncodeOpeningTag(0);
      r += EncodeDate(kTagClassApplication, 0,
                      std::string("\x7e\x0c", 2) + char(1 + request) + '\x02');
      r += EncodeTime(kTagClassApplication, 0, std::string(1, char(k)) + std::string(3, '\0'));
      r += EncodeClosingTag(0);
      r += EncodeOpeningTag(1) + EncodeReal(kTagClassContext, 2, request * 12 + k) +
           EncodeClosingTag(1);
      records += r;
    }
    DecodeTrendRecords(DecodeTaggedList(Ack(records, 12)), buffer);
  }
  ASSERT_EQ(buffer.Count(), kTrendBufferCapacity);
  EXPECT_DOUBLE_EQ(buffer.Record(107).Value, 107);
}

TEST(TrendDecodeTest, OctetsAreLittleEndianPairsWithATrailingZero) {
  TTrendBuffer buffer;
  buffer.Add({1.5, 46000.25});
  buffer.Add({-2, 46000.5});
  EXPECT_FALSE(buffer.Add({7, 46000.5})) << "same time stamp";
  const std::string o = buffer.Octets();
  ASSERT_EQ(o.size(), 33u);
  double v, t;
  std::memcpy(&v, o.data() + 16, 8);
  std::memcpy(&t, o.data() + 24, 8);
  EXPECT_EQ(v, -2);
  EXPECT_EQ(t, 46000.5);
  EXPECT_EQ(static_cast<unsigned char>(o[7]), 0x3F);  // 1.5 = 3FF8000000000000, little-endian
  EXPECT_EQ(o[32], '\0');
}

TEST(TrendDecodeTest, CutAnswersNeverCrashAndKeepWholeRecords) {
  std::string records =
      Record(1, EncodeReal(kTagClassContext, 2, 4)) + Record(2, EncodeReal(kTagClassContext, 2, 5));
  const std::string ack = Ack(records, 2);
  for (size_t n = 0; n <= ack.size(); ++n) {
    TTrendBuffer buffer;
    DecodeTrendRecords(DecodeTaggedList(ack.substr(0, n)), buffer);
    EXPECT_LE(buffer.Count(), 2);
  }
  TTrendBuffer buffer;
  EXPECT_EQ(DecodeTrendRecords(Variant(1), buffer), 0);
  EXPECT_EQ(DecodeTrendRecords(Variant::MakeList({Variant(), Variant("x")}), buffer), 0);
}

}  // namespace
}  // namespace zb
