#include "ringwell/oncall/ical.h"

#include <libical/ical.h>

#include <algorithm>
#include <memory>
#include <set>
#include <stdexcept>

#include "ringwell/common/files.h"
#include "ringwell/oncall/schedule.h"

namespace ringwell::oncall {
namespace {

constexpr std::size_t kMaxFileSize = 4 << 20;
constexpr std::size_t kMaxEvents = 10000;
constexpr int kMaxOccurrences = 100000;  // looked at per event and question

struct ComponentFree {
  void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using Component = std::unique_ptr<icalcomponent, ComponentFree>;

struct IteratorFree {
  void operator()(icalrecur_iterator* iterator) const { icalrecur_iterator_free(iterator); }
};

std::string Owned(char* text) {
  std::string copy = text ? text : "";
  if (text) icalmemory_free_buffer(text);
  return copy;
}

[[noreturn]] void Refuse(const std::string& what) { throw std::runtime_error(what); }

cctz::time_zone ZoneOf(icalproperty* property, const icaltimetype& time,
                       const cctz::time_zone& fallback) {
  if (icaltime_is_utc(time)) return cctz::utc_time_zone();
  icalparameter* tzid = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
  if (tzid == nullptr) return fallback;  // floating: the schedule's zone
  std::string name = icalparameter_get_tzid(tzid) ? icalparameter_get_tzid(tzid) : "";
  cctz::time_zone zone;
  if (cctz::load_time_zone(name, &zone)) return zone;
  // Some writers prefix the IANA name ("/example.org/20260101_1/Europe/Berlin").
  for (std::size_t slash = name.find('/'); slash != std::string::npos;
       slash = name.find('/', slash + 1)) {
    if (cctz::load_time_zone(name.substr(slash + 1), &zone)) return zone;
  }
  Refuse("the time zone \"" + name + "\" is not an IANA zone");
}

cctz::civil_second Civil(const icaltimetype& time) {
  if (time.is_date) return cctz::civil_second(time.year, time.month, time.day, 0, 0, 0);
  return cctz::civil_second(time.year, time.month, time.day, time.hour, time.minute, time.second);
}

icaltimetype Floating(const cctz::civil_second& local) {
  icaltimetype time = icaltime_null_time();
  time.year = static_cast<int>(local.year());
  time.month = local.month();
  time.day = local.day();
  time.hour = local.hour();
  time.minute = local.minute();
  time.second = local.second();
  return time;
}

// Calls `each(start, end)` for the event's occurrences in order until it
// returns false.
template <typename Each>
void ForEachOccurrence(const IcalSource::Event& event, Each each) {
  auto visit = [&](const cctz::civil_second& local) {
    const Instant start = AtLocal(local, event.zone);
    if (std::find(event.excluded.begin(), event.excluded.end(), start) != event.excluded.end()) {
      return true;
    }
    return each(start, start + event.duration);
  };
  if (event.rule.empty()) {
    visit(event.start);
    return;
  }
  const icalrecurrencetype rule = icalrecurrencetype_from_string(event.rule.c_str());
  std::unique_ptr<icalrecur_iterator, IteratorFree> iterator(
      icalrecur_iterator_new(rule, Floating(event.start)));
  if (!iterator) return;
  for (int n = 0; n < kMaxOccurrences; ++n) {
    const icaltimetype next = icalrecur_iterator_next(iterator.get());
    if (icaltime_is_null_time(next)) return;
    if (!visit(Civil(next))) return;
  }
}

IcalSource::Event ReadEvent(icalcomponent* vevent, const cctz::time_zone& fallback) {
  IcalSource::Event event;
  const char* summary = icalcomponent_get_summary(vevent);
  event.person = summary ? summary : "";
  if (event.person.empty()) Refuse("an event has no SUMMARY naming who is on call");
  icalproperty* start = icalcomponent_get_first_property(vevent, ICAL_DTSTART_PROPERTY);
  if (start == nullptr) Refuse("the event \"" + event.person + "\" has no DTSTART");
  const icaltimetype dtstart = icalproperty_get_dtstart(start);
  if (icaltime_is_null_time(dtstart) || !icaltime_is_valid_time(dtstart)) {
    Refuse("the event \"" + event.person + "\" has a DTSTART that is not a time");
  }
  event.zone = ZoneOf(start, dtstart, fallback);
  event.start = Civil(dtstart);
  const Instant first = AtLocal(event.start, event.zone);
  if (icalproperty* end = icalcomponent_get_first_property(vevent, ICAL_DTEND_PROPERTY)) {
    const icaltimetype dtend = icalproperty_get_dtend(end);
    event.duration = AtLocal(Civil(dtend), ZoneOf(end, dtend, fallback)) - first;
  } else if (icalproperty* length =
                 icalcomponent_get_first_property(vevent, ICAL_DURATION_PROPERTY)) {
    event.duration = Seconds(icaldurationtype_as_int(icalproperty_get_duration(length)));
  } else if (dtstart.is_date) {
    event.duration = Seconds(86400);
  }
  if (event.duration.count() <= 0) {
    Refuse("the event \"" + event.person + "\" ends before it starts (DTEND or DURATION)");
  }
  if (icalproperty* rrule = icalcomponent_get_first_property(vevent, ICAL_RRULE_PROPERTY)) {
    event.rule = Owned(icalproperty_get_value_as_string_r(rrule));
    const icalrecurrencetype rule = icalrecurrencetype_from_string(event.rule.c_str());
    if (rule.freq == ICAL_NO_RECURRENCE) {
      Refuse("the event \"" + event.person + "\" has an RRULE that does not parse: " + event.rule);
    }
  }
  for (icalproperty* exdate = icalcomponent_get_first_property(vevent, ICAL_EXDATE_PROPERTY);
       exdate != nullptr; exdate = icalcomponent_get_next_property(vevent, ICAL_EXDATE_PROPERTY)) {
    const icaltimetype time = icalproperty_get_exdate(exdate);
    event.excluded.push_back(AtLocal(Civil(time), ZoneOf(exdate, time, fallback)));
  }
  return event;
}

void AddTime(icalcomponent* event, icalproperty* (*make)(icaltimetype), Instant at) {
  icalcomponent_add_property(event,
                             make(icaltime_from_timet_with_zone(at.time_since_epoch().count(), 0,
                                                                icaltimezone_get_utc_timezone())));
}

}  // namespace

IcalSource IcalSource::Parse(const std::string& text, const cctz::time_zone& zone) {
  Component calendar(icalparser_parse_string(text.c_str()));
  if (!calendar) Refuse("is not an iCal calendar (BEGIN:VCALENDAR ... END:VCALENDAR)");
  IcalSource source;
  icalcomponent* root = calendar.get();
  if (icalcomponent_isa(root) == ICAL_VEVENT_COMPONENT) {
    source.events_.push_back(ReadEvent(root, zone));
    return source;
  }
  for (icalcomponent* vevent = icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT);
       vevent != nullptr; vevent = icalcomponent_get_next_component(root, ICAL_VEVENT_COMPONENT)) {
    if (source.events_.size() == kMaxEvents) Refuse("has more than 10000 events");
    source.events_.push_back(ReadEvent(vevent, zone));
  }
  if (source.events_.empty()) Refuse("has no events (VEVENT)");
  return source;
}

IcalSource IcalSource::Read(const std::string& path, const cctz::time_zone& zone) {
  std::string text;
  if (const HRESULT hr = ReadWholeFile(path, &text); Failed(hr)) {
    Refuse("cannot read " + path + ": " + ErrorText(hr));
  }
  if (text.size() > kMaxFileSize) Refuse(path + " is larger than 4 MB");
  try {
    return Parse(text, zone);
  } catch (const std::runtime_error& e) {
    Refuse(path + " " + e.what());
  }
}

std::vector<std::string> IcalSource::People() const {
  std::set<std::string> people;
  for (const Event& event : events_) people.insert(event.person);
  return {people.begin(), people.end()};
}

void IcalSource::RenamePeople(const std::function<std::string(const std::string&)>& resolve) {
  for (Event& event : events_) event.person = resolve(event.person);
}

std::string IcalSource::PersonAt(Instant at) const {
  for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
    bool covered = false;
    ForEachOccurrence(*it, [&](Instant start, Instant end) {
      if (start > at) return false;
      covered = at < end;
      return !covered;
    });
    if (covered) return it->person;
  }
  return "";
}

std::optional<Instant> IcalSource::NextBoundary(Instant at) const {
  std::optional<Instant> next;
  auto consider = [&](Instant candidate) {
    if (candidate > at && (!next || candidate < *next)) next = candidate;
  };
  for (const Event& event : events_) {
    ForEachOccurrence(event, [&](Instant start, Instant end) {
      consider(start);
      consider(end);
      return start <= at;
    });
  }
  return next;
}

std::string ExportIcal(const Schedule& schedule, const OnCallConfig& config, Instant from,
                       Instant until) {
  Component calendar(icalcomponent_new(ICAL_VCALENDAR_COMPONENT));
  icalcomponent_add_property(calendar.get(), icalproperty_new_version("2.0"));
  icalcomponent_add_property(calendar.get(), icalproperty_new_prodid("-//Ringwell//On call//EN"));
  icalproperty* name = icalproperty_new_x(("On call: " + schedule.name).c_str());
  icalproperty_set_x_name(name, "X-WR-CALNAME");
  icalcomponent_add_property(calendar.get(), name);
  std::string person = OnCallAt(schedule, from);
  Instant start = from;
  auto add = [&](Instant end) {
    if (person.empty() || end <= start) return;
    icalcomponent* event = icalcomponent_new(ICAL_VEVENT_COMPONENT);
    const std::string uid = schedule.name + "-" + std::to_string(start.time_since_epoch().count()) +
                            "-" + person + "@ringwell";
    icalcomponent_add_property(event, icalproperty_new_uid(uid.c_str()));
    AddTime(event, icalproperty_new_dtstamp, from);
    AddTime(event, icalproperty_new_dtstart, start);
    AddTime(event, icalproperty_new_dtend, end);
    const auto found = config.people.find(person);
    const std::string shown = found != config.people.end() ? found->second.name : person;
    icalcomponent_add_property(event, icalproperty_new_summary(shown.c_str()));
    icalcomponent_add_property(event, icalproperty_new_description(person.c_str()));
    icalcomponent_add_component(calendar.get(), event);
  };
  for (const Handoff& handoff : NextHandoffs(schedule, from, 100000, until)) {
    add(handoff.at);
    person = handoff.person;
    start = handoff.at;
  }
  add(until);
  return Owned(icalcomponent_as_ical_string_r(calendar.get()));
}

}  // namespace ringwell::oncall
