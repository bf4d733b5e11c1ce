// The on-call configuration: people, schedules, escalation policies and
// heartbeats, written as code in the alert routes file beside [routes.*]
// (one TOML file a team keeps in git):
//
//   [people.alice]
//   name = "Alice"  phone = "5550001"  email = "..."  timezone = "Europe/Paris"  voice = "Female"
//   page = [{number = "alice@example.net", service = "mail"}]
//
//   [schedules.primary]
//   timezone = "Europe/Berlin"
//   [[schedules.primary.rotations]]          later rotations win where they overlap
//   people = ["alice", "bob"]  start = 2026-03-23T09:00:00  shift = "1d"
//   days = ["mon", "tue", "wed", "thu", "fri"]  hours = "09:00-18:00"   optional
//   [[schedules.primary.rotations]]
//   ical = "/etc/ringwell/holidays.ics"      each event's SUMMARY names a person
//   [[schedules.primary.overrides]]
//   person = "carol"  from = 2026-04-01T00:00:00  until = 2026-04-02T00:00:00
//
//   [policies.critical]
//   repeat = 1
//   [[policies.critical.steps]]
//   notify = ["schedule:primary", "person:carol"]  wait = "5m"
//
//   [heartbeats.backup]
//   every = "1h"  policy = "critical"
//
// Durations are written "30s", "5m", "2h", "1d", "1w". Local date-times are
// TOML local date-times (or the same text in quotes), read in the schedule's
// time zone. Every mistake is reported as "FILE: [TABLE] KEY: what is wrong".
//
// Thread-safety: a parsed configuration is a value, read by any number of
// threads.
#pragma once

#include <cctz/civil_time.h>
#include <cctz/time_zone.h>

#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ringwell::oncall {

using Seconds = std::chrono::seconds;
using Instant = std::chrono::sys_seconds;  // a wall-clock instant (UTC)

// The instant of a local time in `zone` (the earlier one when the local
// time happens twice, the moment the clock jumps when it never happens).
inline Instant AtLocal(const cctz::civil_second& local, const cctz::time_zone& zone) {
  return std::chrono::time_point_cast<Seconds>(cctz::convert(local, zone));
}

// "30s", "5m", "2h", "1d", "1w" (a positive whole number and one unit).
std::optional<Seconds> ParseDuration(std::string_view text);
std::string FormatDuration(Seconds duration);

struct Person {
  std::string key;  // the name of the table, [people.KEY]
  std::string name;
  std::string phone;
  nlohmann::json page = nlohmann::json::array();
  std::string email;
  std::string timezone;
  std::string voice;
};

class IcalSource;  // events read from an iCal file (ical.h)

struct Rotation {
  std::vector<std::string> people;  // keys of [people.*], in order
  cctz::civil_second start;
  Seconds shift{0};
  std::vector<int> days;  // weekdays it covers, 0 = Monday; empty: all
  // Local minutes of the day it covers, [from, until); until < from wraps
  // past midnight. Absent: the whole day.
  std::optional<std::pair<int, int>> hours;
  std::string ical;                          // the file it came from, when imported
  std::shared_ptr<const IcalSource> events;  // set when imported
};

struct Override {
  std::string person;
  cctz::civil_second from;
  cctz::civil_second until;
};

struct Schedule {
  std::string name;
  std::string timezone;
  cctz::time_zone zone;
  std::vector<Rotation> rotations;
  std::vector<Override> overrides;
};

struct Step {
  std::vector<std::string> notify;  // "person:KEY" and "schedule:NAME"
  Seconds wait{0};
};

struct Policy {
  std::string name;
  std::vector<Step> steps;
  int repeat = 0;  // how many times the whole chain runs again
};

struct Heartbeat {
  std::string name;
  Seconds every{0};
  std::string policy;
};

struct OnCallConfig {
  std::map<std::string, Person> people;
  std::map<std::string, Schedule> schedules;
  std::map<std::string, Policy> policies;
  std::map<std::string, Heartbeat> heartbeats;
};

// The top-level tables this configuration owns (the routes file's other
// readers skip them).
bool IsOnCallTable(std::string_view key);

// Parses the on-call tables of a routes file's text; other top-level tables
// are left to their readers. iCal rotation sources are read from their files.
// Throws std::runtime_error "ORIGIN: [TABLE] KEY: what" on the first mistake
// (or the line, for TOML that does not parse).
OnCallConfig ParseOnCallConfig(const std::string& text, const std::string& origin);

// Reads the file; a missing file is an empty configuration when `required`
// is false.
OnCallConfig ReadOnCallConfig(const std::string& path, bool required);

}  // namespace ringwell::oncall
