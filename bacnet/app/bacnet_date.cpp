#include "bacnet/app/bacnet_date.h"

#include <cmath>
#include <cstdint>
#include <ctime>

#include "platform/message_loop.h"

namespace zb::bacnet {

namespace {

constexpr double kMsPerDay = 86400000.0;

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days from 0001-01-01 (day 1) on the proleptic Gregorian calendar.
long long DayNumber(int y, int m, int d) {
  long long yy = y - 1;
  long long n = yy * 365 + yy / 4 - yy / 100 + yy / 400;
  for (int i = 1; i < m; ++i) n += DaysInMonth(y, i);
  return n + d;
}

const long long kEpoch = DayNumber(1899, 12, 30);

}  // namespace

bool TryEncodeDate(int year, int month, int day, double& date) {
  date = 0;
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  date = double(DayNumber(year, month, day) - kEpoch);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, double& time) {
  time = 0;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999)
    return false;
  time = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / kMsPerDay;
  return true;
}

bool DecodeDateTime(double value, DateTimeParts& p) {
  p = DateTimeParts{};
  // Years 1..9999 span about -693593 .. 2958465 days.
  if (!std::isfinite(value) || value < -693594.0 || value > 2958466.0) return false;
  double whole = std::trunc(value);
  long long ms = std::llround(std::fabs(value - whole) * kMsPerDay);
  long long days = (long long)whole;
  if (ms >= (long long)kMsPerDay) {  // rounding reached the next midnight
    ms -= (long long)kMsPerDay;
    ++days;
  }
  long long n = days + kEpoch;  // day number, 1 = 0001-01-01
  if (n < 1 || n > DayNumber(9999, 12, 31)) return false;
  // Monday is day number 1 (0001-01-01 was a Monday).
  p.DayOfWeek = int((n - 1) % 7) + 1;
  int y = int((n - 1) / 366) + 1;  // lower estimate, then step forward
  while (y < 9999 && DayNumber(y + 1, 1, 1) <= n) ++y;
  int m = 1;
  while (m < 12 && DayNumber(y, m + 1, 1) <= n) ++m;
  p.Year = y;
  p.Month = m;
  p.Day = int(n - DayNumber(y, m, 1)) + 1;
  p.Hour = int(ms / 3600000);
  p.Minute = int(ms / 60000 % 60);
  p.Second = int(ms / 1000 % 60);
  p.Millisecond = int(ms % 1000);
  return true;
}

double BACnetDateToDate(std::string_view o) {
  if (o.size() < 4) return 0;
  int year = 1900 + uint8_t(o[0]), month = uint8_t(o[1]), day = uint8_t(o[2]);
  if (month == 255 || day == 255) return 0;
  double date;
  return TryEncodeDate(year, month, day, date) ? date : 0;
}

double BACnetTimeToTime(std::string_view o) {
  if (o.size() < 4) return 0;
  int h = uint8_t(o[0]), m = uint8_t(o[1]), s = uint8_t(o[2]);
  double time;
  return TryEncodeTime(h, m, s, 0, time) ? time : 0;  // 255 fails the range check
}

std::string DateToBACnetDate(double date) {
  DateTimeParts p;
  if (!DecodeDateTime(date, p)) return std::string(4, char(0xFF));
  return {char((p.Year - 1900) & 0xFF), char(p.Month), char(p.Day), char(p.DayOfWeek)};
}

std::string TimeToBACnetTime(double time) {
  DateTimeParts p;
  if (!DecodeDateTime(time, p)) return std::string(4, char(0xFF));
  return {char(p.Hour), char(p.Minute), char(p.Second), char(p.Millisecond / 10)};
}

double LocalNow(platform::Clock& clock) {
  const int64_t ms = clock.LocalWallMs();
  // Floor division: a wall time before 1970 still splits into a day and a time of day.
  constexpr int64_t kDayMs = 86'400'000;
  const int64_t ms_of_day = ((ms % kDayMs) + kDayMs) % kDayMs;
  const std::time_t t = static_cast<std::time_t>((ms - ms_of_day) / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  double date = 0, time = 0;
  TryEncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, date);
  const int64_t s = ms_of_day / 1000;
  TryEncodeTime(static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60), static_cast<int>(s % 60),
                static_cast<int>(ms_of_day % 1000), time);
  return date + time;
}

}  // namespace zb::bacnet
