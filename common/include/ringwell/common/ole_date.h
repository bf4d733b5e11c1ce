// Automation dates: a double counting days since 30 December 1899, the
// fraction being the time of day, always in local time: the installation's
// time zone, one for every process of an installation (the client, the daemon
// and the scheduler), so a time one of them writes means the same moment to
// the others whatever the TZ of each process. For a date before
// that day the fraction still counts forward from the start of the day
// (-1.25 is 29 December 1899, 06:00), so dates are compared on the linear
// scale, where a value d below 0 stands for 2*ceil(d) - d.
//
// The text form is that of typed "dateTime" XML elements:
// YYYY-MM-DDThh:mm:ss with an optional fraction of seconds, no time zone.
//
// The installation's time zone is the registry value TimeZone (an IANA zone
// name such as "Europe/Berlin") under SOFTWARE\Corvane\Ringwell, else the
// system's zone (/etc/localtime), else UTC. It is read on first use.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <chrono>
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

using Moment = std::chrono::sys_time<std::chrono::milliseconds>;

// The name of the installation's time zone (a path for the system's zone).
std::string InstallationTimeZone();
// Reads the installation's time zone from the registry again.
void ReloadInstallationTimeZone();
// The TimeZone the registry names when the system has no zone of that name
// (local time would then silently be the system's); nullopt when it is a known
// zone or not set. Every program refuses to start on it.
std::optional<std::string> UnknownConfiguredTimeZone();

// The local time now.
OleDate OleDateNow();
// A moment of the system clock as local time.
std::optional<OleDate> OleDateFromTimespec(const timespec& moment);
std::optional<OleDate> OleDateFromMoment(Moment moment);
// The moment a local time stands for. A local time that the zone skips (the
// hour a clock is put forward) counts as if the clock had not moved yet; one
// that occurs twice counts as the first.
std::optional<Moment> MomentFromOleDate(OleDate date);
// The offset east of UTC, in seconds, of the installation's zone at `moment`.
int InstallationUtcOffset(Moment moment);

// "YYYY-MM-DDThh:mm:ss", with ".mmm" when there are milliseconds; empty
// outside the valid range.
std::string OleDateToIso(OleDate date);
// Accepts YYYY-MM-DD, optionally followed by "T" (or a blank) and
// hh:mm[:ss[.fraction]]; blanks around the text are ignored.
std::optional<OleDate> OleDateFromIso(std::string_view text);
// "YYYY-MM-DDThh:mm:ss+hh:mm" ("Z" for UTC), the local time with the
// installation's offset at that time; empty outside the valid range.
std::string OleDateToIsoWithOffset(OleDate date);
// An ISO 8601 time as OleDateFromIso reads it, optionally followed by "Z" or
// an offset (+hh:mm, +hhmm, +hh), converted to the installation's local time;
// without a zone the time is local already.
std::optional<OleDate> OleDateFromIsoWithZone(std::string_view text);

// "YYYY-MM-DDThh:mm:ss.mmmZ": `time` in UTC, as heartbeats and events carry it.
std::string UtcIsoMillis(std::chrono::system_clock::time_point time);

// date + minutes (minutes / 1440 days, with the fraction counting forward from
// the day); the invalid date when `date` or the result lies outside the valid
// range.
OleDate AddMinutes(OleDate date, long minutes);

}  // namespace ringwell
