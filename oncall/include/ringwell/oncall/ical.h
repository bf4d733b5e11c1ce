// iCal (RFC 5545) in and out of the schedules, on libical.
//
// In: a rotation whose source is an iCal file (`ical = "/path/file.ics"`):
// each VEVENT's SUMMARY names a person (the key of [people.KEY] or the
// person's name); its DTSTART (with TZID, in UTC, or floating in the
// schedule's zone) and DTEND or DURATION say when; an RRULE repeats it and
// EXDATEs leave occurrences out. Where events overlap, the later one in the
// file wins.
//
// Out: a schedule as an iCal feed, one VEVENT per stretch of one person on
// call, in UTC.
//
// Thread-safety: an IcalSource is a value, read by any number of threads.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ringwell/oncall/config.h"

namespace ringwell::oncall {

class IcalSource {
 public:
  // Throws std::runtime_error saying what is wrong (the caller adds where).
  static IcalSource Parse(const std::string& text, const cctz::time_zone& zone);
  static IcalSource Read(const std::string& path, const cctz::time_zone& zone);

  // The SUMMARY of every event, once each.
  std::vector<std::string> People() const;
  // Replaces every SUMMARY with what `resolve` makes of it.
  void RenamePeople(const std::function<std::string(const std::string&)>& resolve);

  // The person of the last event in the file whose occurrence covers `at`;
  // empty when none does.
  std::string PersonAt(Instant at) const;
  // The first instant after `at` where an occurrence starts or ends.
  std::optional<Instant> NextBoundary(Instant at) const;

  struct Event {
    std::string person;
    cctz::civil_second start;  // in `zone`
    cctz::time_zone zone;
    Seconds duration{0};
    std::string rule;  // the RRULE's text, empty when it does not repeat
    std::vector<Instant> excluded;
  };

 private:
  std::vector<Event> events_;
};

// The schedule as an iCal calendar: who is on call from `from` until
// `until`, one VEVENT per stretch (SUMMARY the person's name, DESCRIPTION
// their key, a stable UID).
std::string ExportIcal(const Schedule& schedule, const OnCallConfig& config, Instant from,
                       Instant until);

}  // namespace ringwell::oncall
