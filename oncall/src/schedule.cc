#include "ringwell/oncall/schedule.h"

#include <algorithm>

#include "ringwell/oncall/ical.h"

namespace ringwell::oncall {
namespace {

constexpr std::int64_t kDay = 86400;
constexpr int kMaxSteps = 20000;

cctz::civil_second Local(Instant at, const cctz::time_zone& zone) {
  return cctz::convert(at, zone);
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// The start of shift `k` of the rotation.
Instant ShiftStart(const Rotation& rotation, const cctz::time_zone& zone, std::int64_t k) {
  const std::int64_t shift = rotation.shift.count();
  if (shift % kDay == 0) {
    const cctz::civil_day day = cctz::civil_day(rotation.start) + k * (shift / kDay);
    return AtLocal(cctz::civil_second(day.year(), day.month(), day.day(), rotation.start.hour(),
                                      rotation.start.minute(), rotation.start.second()),
                   zone);
  }
  return AtLocal(rotation.start, zone) + Seconds(k * shift);
}

// The number of the shift going on at `at`; -1 before the first.
std::int64_t ShiftIndex(const Rotation& rotation, const cctz::time_zone& zone, Instant at) {
  const std::int64_t shift = rotation.shift.count();
  if (at < ShiftStart(rotation, zone, 0)) return -1;
  std::int64_t k = 0;
  if (shift % kDay == 0) {
    const std::int64_t days = cctz::civil_day(Local(at, zone)) - cctz::civil_day(rotation.start);
    k = std::max<std::int64_t>(0, FloorDiv(days, shift / kDay));
  } else {
    k = (at - AtLocal(rotation.start, zone)).count() / shift;
  }
  while (ShiftStart(rotation, zone, k + 1) <= at) ++k;
  while (k > 0 && ShiftStart(rotation, zone, k) > at) --k;
  return k;
}

// Whether the rotation's days and hours take in the local time `local`.
bool Covers(const Rotation& rotation, const cctz::civil_second& local) {
  cctz::civil_day day(local);
  if (rotation.hours) {
    const auto [from, until] = *rotation.hours;
    const int minute = local.hour() * 60 + local.minute();
    if (from < until) {
      if (minute < from || minute >= until) return false;
    } else if (minute < until) {
      day -= 1;  // the stretch began the evening before
    } else if (minute < from) {
      return false;
    }
  }
  if (rotation.days.empty()) return true;
  const int weekday = static_cast<int>(cctz::get_weekday(day));  // Monday is 0
  return std::find(rotation.days.begin(), rotation.days.end(), weekday) != rotation.days.end();
}

// Who the rotation puts on call at `at`; nothing when it does not cover it.
std::optional<std::string> RotationPersonAt(const Rotation& rotation, const cctz::time_zone& zone,
                                            Instant at) {
  if (rotation.events) {
    std::string person = rotation.events->PersonAt(at);
    if (person.empty()) return std::nullopt;
    return person;
  }
  if (!Covers(rotation, Local(at, zone))) return std::nullopt;
  const std::int64_t k = ShiftIndex(rotation, zone, at);
  if (k < 0) return std::nullopt;
  return rotation.people[static_cast<std::size_t>(k) % rotation.people.size()];
}

void Earliest(std::optional<Instant>& best, std::optional<Instant> candidate) {
  if (candidate && (!best || *candidate < *best)) best = candidate;
}

}  // namespace

std::optional<Instant> NextRotationBoundary(const Rotation& rotation, const cctz::time_zone& zone,
                                            Instant at) {
  if (rotation.events) return rotation.events->NextBoundary(at);
  std::optional<Instant> next;
  Earliest(next, ShiftStart(rotation, zone, ShiftIndex(rotation, zone, at) + 1));
  if (rotation.hours || !rotation.days.empty()) {
    const cctz::civil_day today(Local(at, zone));
    for (const cctz::civil_day day : {today, today + 1}) {
      std::vector<int> minutes = {0};
      if (rotation.hours) {
        minutes.push_back(rotation.hours->first);
        minutes.push_back(rotation.hours->second);
      }
      for (const int minute : minutes) {
        const Instant edge = AtLocal(
            cctz::civil_second(day.year(), day.month(), day.day(), minute / 60, minute % 60, 0),
            zone);
        if (edge > at) Earliest(next, edge);
      }
    }
  }
  return next;
}

std::string OnCallAt(const Schedule& schedule, Instant at) {
  for (auto it = schedule.overrides.rbegin(); it != schedule.overrides.rend(); ++it) {
    if (AtLocal(it->from, schedule.zone) <= at && at < AtLocal(it->until, schedule.zone)) {
      return it->person;
    }
  }
  for (auto it = schedule.rotations.rbegin(); it != schedule.rotations.rend(); ++it) {
    if (auto person = RotationPersonAt(*it, schedule.zone, at)) return *person;
  }
  return "";
}

std::vector<Handoff> NextHandoffs(const Schedule& schedule, Instant after, std::size_t count,
                                  Instant horizon) {
  std::vector<Handoff> handoffs;
  std::string current = OnCallAt(schedule, after);
  Instant cursor = after;
  for (int step = 0; step < kMaxSteps && handoffs.size() < count; ++step) {
    std::optional<Instant> next;
    for (const Rotation& rotation : schedule.rotations) {
      Earliest(next, NextRotationBoundary(rotation, schedule.zone, cursor));
    }
    for (const Override& override : schedule.overrides) {
      for (const auto& edge : {override.from, override.until}) {
        const Instant instant = AtLocal(edge, schedule.zone);
        if (instant > cursor) Earliest(next, instant);
      }
    }
    if (!next || *next > horizon) break;
    cursor = *next;
    std::string person = OnCallAt(schedule, cursor);
    if (person != current) {
      handoffs.push_back({cursor, person});
      current = std::move(person);
    }
  }
  return handoffs;
}

}  // namespace ringwell::oncall
