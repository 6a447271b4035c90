// BACnet dates and times and their date-time values: days since 1899-12-30, the fraction being the
// time of day; 0 stands for no value.
#pragma once

#include <string>
#include <string_view>

namespace zb::platform {
class Clock;
}

namespace zb::bacnet {

// Four octets: year - 1900, month, day, day of week (1 = Monday). 0 when month or day is 255, the
// date does not exist, or fewer than four octets are given. The day of week is ignored.
double BACnetDateToDate(std::string_view octets);
// Four octets: hour, minute, second, hundredths (ignored). 0 when any of the first three is 255,
// they form no valid time, or fewer than four octets are given.
double BACnetTimeToTime(std::string_view octets);
// The date part of a date-time value as four octets.
std::string DateToBACnetDate(double date);
// The time part of a date-time value as four octets; hundredths are milliseconds / 10.
std::string TimeToBACnetTime(double time);

// Building and splitting date-time values.
// The date value of a calendar date; false (and 0) when the date does not exist.
bool TryEncodeDate(int year, int month, int day, double& date);
// The time-of-day fraction; false (and 0) when the parts form no valid time.
bool TryEncodeTime(int hour, int minute, int second, int millisecond, double& time);
struct DateTimeParts {
  int Year = 0, Month = 0, Day = 0, DayOfWeek = 0;  // DayOfWeek 1 = Monday .. 7 = Sunday
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};
// Splits a date-time value (as the platform does: whole days, then the time of day rounded to the
// millisecond). Values outside years 1..9999 give false.
bool DecodeDateTime(double value, DateTimeParts& parts);
// The clock's local date and time, to the millisecond, as a date-time value.
double LocalNow(platform::Clock& clock);

}  // namespace zb::bacnet
