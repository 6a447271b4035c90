#include "bacnet/app/bacnet_date.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "platform/message_loop.h"
#include "tests/bacnet/app/octets.h"

namespace zb::bacnet {
namespace {

using namespace std::chrono;
using test::Octets;
using test::ToHex;

// Date values counted independently with the standard library's calendar.
double Days(int y, unsigned m, unsigned d) {
  return double((sys_days{year{y} / month{m} / day{d}} - sys_days{1899y / December / 30d}).count());
}

TEST(BACnetDate, DatesFromTheStandardExample) {
  // January 24, 1991, a Thursday.
  EXPECT_EQ(BACnetDateToDate(Octets("5B 01 18 04")), Days(1991, 1, 24));
  EXPECT_EQ(ToHex(DateToBACnetDate(Days(1991, 1, 24))), "5B 01 18 04");
  // The day of week octet is ignored; unspecified month or day gives no value.
  EXPECT_EQ(BACnetDateToDate(Octets("5B 01 18 FF")), Days(1991, 1, 24));
  EXPECT_EQ(BACnetDateToDate(Octets("5B FF 18 04")), 0.0);
  EXPECT_EQ(BACnetDateToDate(Octets("5B 01 FF 04")), 0.0);
  // The year octet is always year - 1900, 255 included.
  EXPECT_EQ(BACnetDateToDate(Octets("FF 01 01 FF")), Days(2155, 1, 1));
  EXPECT_EQ(BACnetDateToDate(Octets("00 01 01 FF")), Days(1900, 1, 1));
  // Dates that do not exist.
  EXPECT_EQ(BACnetDateToDate(Octets("5B 02 1D 04")), 0.0);  // 1991-02-29
  EXPECT_EQ(BACnetDateToDate(Octets("5C 02 1D 04")), Days(1992, 2, 29));
  EXPECT_EQ(BACnetDateToDate(Octets("00 02 1D 04")), 0.0);  // 1900 was no leap year
  EXPECT_EQ(BACnetDateToDate(Octets("64 02 1D 04")), Days(2000, 2, 29));
  EXPECT_EQ(BACnetDateToDate(Octets("5B 0D 01 04")), 0.0);
  EXPECT_EQ(BACnetDateToDate(Octets("5B 04 1F 04")), 0.0);  // April 31
  EXPECT_EQ(BACnetDateToDate(Octets("5B 00 01 04")), 0.0);
  EXPECT_EQ(BACnetDateToDate(Octets("5B 01 00 04")), 0.0);
  EXPECT_EQ(BACnetDateToDate(Octets("5B 01 18")), 0.0);  // short input
}

TEST(BACnetDate, EveryDayOfTheOctetRangeRoundTrips) {
  for (sys_days d = sys_days{1900y / January / 1d}; d <= sys_days{2155y / December / 31d};
       d += days{1}) {
    year_month_day ymd{d};
    double value = Days(int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
    std::string o = DateToBACnetDate(value + 0.75);  // the time part does not matter
    ASSERT_EQ(uint8_t(o[0]), int(ymd.year()) - 1900);
    ASSERT_EQ(uint8_t(o[1]), unsigned(ymd.month()));
    ASSERT_EQ(uint8_t(o[2]), unsigned(ymd.day()));
    ASSERT_EQ(uint8_t(o[3]), weekday{d}.iso_encoding());  // 1 = Monday .. 7 = Sunday
    ASSERT_EQ(BACnetDateToDate(o), value);
  }
}

TEST(BACnetDate, DaysOfWeek) {
  EXPECT_EQ(uint8_t(DateToBACnetDate(Days(2023, 12, 31))[3]), 7);  // Sunday
  EXPECT_EQ(uint8_t(DateToBACnetDate(Days(2024, 1, 1))[3]), 1);    // Monday
}

TEST(BACnetDate, Times) {
  double t;
  ASSERT_TRUE(TryEncodeTime(12, 30, 15, 999, t));
  EXPECT_EQ(ToHex(TimeToBACnetTime(t)), "0C 1E 0F 63");
  EXPECT_EQ(ToHex(TimeToBACnetTime(Days(2020, 5, 1) + t)), "0C 1E 0F 63");
  // The standard's example, 17:35:45.17; hundredths are ignored on the way in.
  EXPECT_DOUBLE_EQ(BACnetTimeToTime(Octets("11 23 2D 11")), (17 * 3600 + 35 * 60 + 45) / 86400.0);
  EXPECT_EQ(BACnetTimeToTime(Octets("00 00 00 00")), 0.0);
  EXPECT_EQ(BACnetTimeToTime(Octets("FF 00 00 00")), 0.0);
  EXPECT_EQ(BACnetTimeToTime(Octets("0C FF 00 00")), 0.0);
  EXPECT_EQ(BACnetTimeToTime(Octets("0C 00 FF 00")), 0.0);
  EXPECT_EQ(BACnetTimeToTime(Octets("18 00 00 00")), 0.0);  // 24:00
  EXPECT_EQ(BACnetTimeToTime(Octets("0C 3C 00 00")), 0.0);
  EXPECT_GT(BACnetTimeToTime(Octets("0C 00 00 FF")), 0.0);  // hundredths unspecified is fine
  EXPECT_EQ(BACnetTimeToTime(Octets("0C 00")), 0.0);
  // Every second of a day survives the round trip.
  for (int s = 0; s < 86400; ++s) {
    double v = s / 86400.0;
    std::string o = TimeToBACnetTime(v);
    ASSERT_EQ(uint8_t(o[0]) * 3600 + uint8_t(o[1]) * 60 + uint8_t(o[2]), s);
    ASSERT_EQ(o[3], 0);
    ASSERT_DOUBLE_EQ(BACnetTimeToTime(o), v);
  }
  // Just before midnight rounds to the next day, not to 24:00.
  EXPECT_EQ(ToHex(TimeToBACnetTime(Days(2020, 5, 1) + 0.99999999999)), "00 00 00 00");
  EXPECT_EQ(ToHex(DateToBACnetDate(Days(2020, 5, 1) + 0.99999999999)),
            ToHex(DateToBACnetDate(Days(2020, 5, 2))));
}

TEST(BACnetDate, DateTimeParts) {
  DateTimeParts p;
  ASSERT_TRUE(DecodeDateTime(Days(1991, 1, 24) + 0.5, p));
  EXPECT_EQ(p.Year, 1991);
  EXPECT_EQ(p.Month, 1);
  EXPECT_EQ(p.Day, 24);
  EXPECT_EQ(p.DayOfWeek, 4);
  EXPECT_EQ(p.Hour, 12);
  EXPECT_FALSE(DecodeDateTime(1e12, p));
  EXPECT_FALSE(DecodeDateTime(std::nan(""), p));
  EXPECT_EQ(ToHex(DateToBACnetDate(1e12)), "FF FF FF FF");
  double d;
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, d));
  EXPECT_EQ(d, 0.0);
  EXPECT_FALSE(TryEncodeTime(23, 59, 60, 0, d));
  platform::SystemClock system;
  EXPECT_GT(LocalNow(system), Days(2020, 1, 1));
}

TEST(BACnetDate, LocalNowComesFromTheClock) {
  platform::ManualClock clock;
  platform::SystemClock system;
  // Unset, the manual clock's date is today's.
  EXPECT_NEAR(LocalNow(clock), LocalNow(system), 60.0 / 86400);
  // 2024-02-29 23:59:59.500 local time.
  const int64_t leap_day_ms = (19782LL * 86400 + 86399) * 1000 + 500;
  clock.SetLocalWallMs(leap_day_ms);
  double t = 0;
  ASSERT_TRUE(TryEncodeTime(23, 59, 59, 500, t));
  EXPECT_DOUBLE_EQ(LocalNow(clock), Days(2024, 2, 29) + t);
  EXPECT_EQ(ToHex(DateToBACnetDate(LocalNow(clock))), "7C 02 1D 04");
  // The wall clock moves with the manual time, across midnight into March.
  clock.Advance(1000);
  ASSERT_TRUE(TryEncodeTime(0, 0, 0, 500, t));
  EXPECT_DOUBLE_EQ(LocalNow(clock), Days(2024, 3, 1) + t);
  // Before 1970 the day still starts at midnight.
  clock.SetLocalWallMs(-1);
  ASSERT_TRUE(TryEncodeTime(23, 59, 59, 999, t));
  EXPECT_DOUBLE_EQ(LocalNow(clock), Days(1969, 12, 31) + t);
}

}  // namespace
}  // namespace zb::bacnet
