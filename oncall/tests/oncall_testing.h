// Helpers of the on-call tests: instants written in UTC, configurations
// from text.
#pragma once

#include <string>

#include "ringwell/oncall/config.h"

namespace ringwell::oncall::testing {

// "2026-03-29T07:00:00Z" as an instant.
inline Instant Utc(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%dZ", &y, &mo, &d, &h, &mi, &s);
  return std::chrono::time_point_cast<Seconds>(
      cctz::convert(cctz::civil_second(y, mo, d, h, mi, s), cctz::utc_time_zone()));
}

inline std::string UtcText(Instant at) {
  return cctz::format("%Y-%m-%dT%H:%M:%SZ", at, cctz::utc_time_zone());
}

inline constexpr char kPeople[] = R"(
[people.alice]
name = "Alice"
phone = "5550001"
[people.bob]
name = "Bob"
phone = "5550002"
[people.carol]
name = "Carol"
phone = "5550003"
[people.dave]
name = "Dave"
phone = "5550004"
)";

}  // namespace ringwell::oncall::testing
