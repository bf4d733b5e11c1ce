#include "ringwell/common/ole_date.h"

#include <cmath>
#include <cstdio>

#include "ringwell/common/text.h"

namespace ringwell {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
constexpr long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

struct Ymd {
  long y;
  unsigned m;
  unsigned d;
};

constexpr Ymd CivilFromDays(long z) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long y = static_cast<long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {y + (m <= 2), m, d};
}

constexpr long kEpochDays = DaysFromCivil(1899, 12, 30);

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 29 : 28;
  }
  return kDays[month - 1];
}

bool InRange(OleDate date) { return date >= kMinOleDate && date <= kMaxOleDate; }

// The automation date of a moment on the linear scale.
OleDate FromLinear(double linear) {
  if (linear >= 0) return linear;
  const double day = std::floor(linear);
  return day - (linear - day);
}

}  // namespace

double LinearDate(OleDate date) { return date >= 0 ? date : 2 * std::ceil(date) - date; }

std::optional<OleDate> OleDateFromCivil(const CivilTime& c) {
  if (c.month < 1 || c.month > 12 || c.day < 1 || c.day > DaysInMonth(c.year, c.month) ||
      c.hour < 0 || c.hour > 23 || c.minute < 0 || c.minute > 59 || c.second < 0 || c.second > 59 ||
      c.millisecond < 0 || c.millisecond > 999) {
    return std::nullopt;
  }
  const long days =
      DaysFromCivil(c.year, static_cast<unsigned>(c.month), static_cast<unsigned>(c.day)) -
      kEpochDays;
  const double fraction =
      ((c.hour * 60.0 + c.minute) * 60.0 + c.second + c.millisecond / 1000.0) / 86400.0;
  const OleDate date = days >= 0 ? days + fraction : days - fraction;
  if (!InRange(date)) return std::nullopt;
  return date;
}

std::optional<CivilTime> CivilFromOleDate(OleDate date) {
  if (!InRange(date)) return std::nullopt;
  long day = static_cast<long>(std::trunc(date));
  long long ms = std::llround(std::fabs(date - static_cast<double>(day)) * 86400000.0);
  if (ms >= 86400000LL) {
    ms -= 86400000LL;
    ++day;
  }
  const Ymd ymd = CivilFromDays(day + kEpochDays);
  CivilTime c;
  c.year = static_cast<int>(ymd.y);
  c.month = static_cast<int>(ymd.m);
  c.day = static_cast<int>(ymd.d);
  c.millisecond = static_cast<int>(ms % 1000);
  const long long seconds = ms / 1000;
  c.second = static_cast<int>(seconds % 60);
  c.minute = static_cast<int>((seconds / 60) % 60);
  c.hour = static_cast<int>(seconds / 3600);
  return c;
}

std::optional<OleDate> OleDateFromTimespec(const timespec& moment) {
  return OleDateFromMoment(Moment(std::chrono::seconds(moment.tv_sec) +
                                  std::chrono::milliseconds(moment.tv_nsec / 1000000)));
}

OleDate OleDateNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return OleDateFromTimespec(now).value_or(kInvalidDate);
}

std::string OleDateToIso(OleDate date) {
  auto c = CivilFromOleDate(date);
  if (!c) return {};
  char buffer[40];
  if (c->millisecond != 0) {
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", c->year, c->month,
                  c->day, c->hour, c->minute, c->second, c->millisecond);
  } else {
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", c->year, c->month, c->day,
                  c->hour, c->minute, c->second);
  }
  return buffer;
}

namespace {

bool ReadDigits(std::string_view& text, std::size_t count, int* out) {
  if (text.size() < count) return false;
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  text.remove_prefix(count);
  *out = value;
  return true;
}

bool Expect(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

}  // namespace

std::optional<OleDate> OleDateFromIso(std::string_view text) {
  text = Trim(text);
  CivilTime c;
  if (!ReadDigits(text, 4, &c.year) || !Expect(text, '-') || !ReadDigits(text, 2, &c.month) ||
      !Expect(text, '-') || !ReadDigits(text, 2, &c.day)) {
    return std::nullopt;
  }
  c.hour = c.minute = c.second = 0;
  if (!text.empty()) {
    if (text.front() != 'T' && text.front() != ' ') return std::nullopt;
    text.remove_prefix(1);
    if (!ReadDigits(text, 2, &c.hour) || !Expect(text, ':') || !ReadDigits(text, 2, &c.minute)) {
      return std::nullopt;
    }
    if (!text.empty() && text.front() == ':') {
      text.remove_prefix(1);
      if (!ReadDigits(text, 2, &c.second)) return std::nullopt;
      if (!text.empty() && text.front() == '.') {
        text.remove_prefix(1);
        if (text.empty()) return std::nullopt;
        double scale = 100;
        double ms = 0;
        while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
          ms += (text.front() - '0') * scale;
          scale /= 10;
          text.remove_prefix(1);
        }
        c.millisecond = static_cast<int>(ms);
      }
    }
    if (!text.empty()) return std::nullopt;
  }
  return OleDateFromCivil(c);
}

OleDate AddMinutes(OleDate date, long minutes) {
  if (!InRange(date)) return kInvalidDate;
  const OleDate result = FromLinear(LinearDate(date) + static_cast<double>(minutes) / 1440.0);
  return InRange(result) ? result : kInvalidDate;
}

std::string UtcIsoMillis(std::chrono::system_clock::time_point time) {
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis % 1000));
  return text;
}

}  // namespace ringwell
