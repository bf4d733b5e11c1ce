// Automation dates: a double counting days since 30 December 1899, the
// fraction being the time of day, always in local time. For a date before
// that day the fraction still counts forward from the start of the day
// (-1.25 is 29 December 1899, 06:00), so dates are compared on the linear
// scale, where a value d below 0 stands for 2*ceil(d) - d.
//
// The text form is that of typed "dateTime" XML elements:
// YYYY-MM-DDThh:mm:ss with an optional fraction of seconds, no time zone.
//
// Thread-safety: pure functions (OleDateNow reads the clock and the zone).
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace ringwell {

using OleDate = double;

// The date that stands for "no date": 1 January 100.
constexpr OleDate kInvalidDate = -657435.0;
// The range of valid dates: 1 January 100 to 31 December 9999.
constexpr OleDate kMinOleDate = -657434.0;
constexpr OleDate kMaxOleDate = 2958465.99999999;

struct CivilTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// The value used for comparisons: d when d >= 0, else 2*ceil(d) - d.
double LinearDate(OleDate date);

// A civil date and time as an automation date; nullopt when a field is out of
// range or the date lies outside the valid range.
std::optional<OleDate> OleDateFromCivil(const CivilTime& civil);
// The civil date and time of an automation date, rounded to the millisecond;
// nullopt outside the valid range.
std::optional<CivilTime> CivilFromOleDate(OleDate date);

// The local time now.
OleDate OleDateNow();
// A moment of the system clock as local time.
std::optional<OleDate> OleDateFromTimespec(const timespec& moment);

// "YYYY-MM-DDThh:mm:ss", with ".mmm" when there are milliseconds; empty
// outside the valid range.
std::string OleDateToIso(OleDate date);
// Accepts YYYY-MM-DD, optionally followed by "T" (or a blank) and
// hh:mm[:ss[.fraction]]; blanks around the text are ignored.
std::optional<OleDate> OleDateFromIso(std::string_view text);

// date + minutes (minutes / 1440 days, with the fraction counting forward from
// the day); the invalid date when `date` or the result lies outside the valid
// range.
OleDate AddMinutes(OleDate date, long minutes);

}  // namespace ringwell
