#include "ringwell/oncall/config.h"

#include <toml++/toml.h>

#include <algorithm>
#include <charconv>
#include <sstream>
#include <stdexcept>

#include "ringwell/oncall/ical.h"
#include "ringwell/oncall/tables.h"

namespace ringwell::oncall {
namespace {

constexpr const char* kWeekdays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
constexpr std::size_t kMaxList = 1000;

// A TOML local date-time, or the same written as a text.
cctz::civil_second LocalTime(const toml::node& node, const std::string& at) {
  if (const auto* value = node.as_date_time()) {
    const toml::date_time& dt = value->get();
    if (dt.offset) Bad(at, "is a local date-time, without an offset (the schedule's zone applies)");
    return cctz::civil_second(dt.date.year, dt.date.month, dt.date.day, dt.time.hour,
                              dt.time.minute, dt.time.second);
  }
  if (const auto* value = node.as_string()) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    const std::string& text = value->get();
    const int n =
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail);
    if ((n == 5 || n == 6) && text.size() >= 16) {
      const cctz::civil_second cs(y, mo, d, h, mi, s);
      if (cs.year() == y && cs.month() == mo && cs.day() == d && cs.hour() == h &&
          cs.minute() == mi && cs.second() == s) {
        return cs;
      }
    }
  }
  Bad(at, "must be a local date-time such as 2026-03-23T09:00:00");
}

std::vector<std::string> TextList(const toml::node& node, const std::string& at) {
  const auto* array = node.as_array();
  if (array == nullptr) Bad(at, "must be a list of texts");
  if (array->size() > kMaxList) Bad(at, "has more than 1000 entries");
  std::vector<std::string> list;
  for (const toml::node& entry : *array) {
    const auto* text = entry.as_string();
    if (text == nullptr) Bad(at, "must be a list of texts");
    list.push_back(text->get());
  }
  return list;
}

cctz::time_zone Zone(const std::string& name, const std::string& at) {
  cctz::time_zone zone;
  if (name.empty() || !cctz::load_time_zone(name, &zone)) {
    Bad(at, "\"" + name + "\" is not an IANA time zone (such as \"Europe/Berlin\")");
  }
  return zone;
}

int MinuteOfDay(std::string_view text, bool end) {
  int h = 0, m = 0;
  if (text.size() != 5 || text[2] != ':') return -1;
  if (std::from_chars(text.data(), text.data() + 2, h).ec != std::errc{} ||
      std::from_chars(text.data() + 3, text.data() + 5, m).ec != std::errc{}) {
    return -1;
  }
  if (m < 0 || m > 59 || h < 0 || h > 24 || (h == 24 && (m != 0 || !end))) return -1;
  return h * 60 + m;
}

void CheckPerson(const OnCallConfig& config, const std::string& person, const std::string& at) {
  if (!config.people.contains(person)) Bad(at, "there is no [people." + person + "]");
}

Person ParsePerson(const std::string& key, const toml::table& table, const std::string& where) {
  Person person;
  person.key = key;
  for (const auto& [k, value] : table) {
    const std::string name(k.str());
    const std::string at = where + " " + name;
    if (name == "name") {
      person.name = TextAt(value, at);
    } else if (name == "phone") {
      person.phone = TextAt(value, at);
      if (person.phone.empty() || person.phone.size() > 100) Bad(at, "must be a number to dial");
    } else if (name == "page") {
      std::ostringstream json_text;
      if (const auto* array = value.as_array()) {
        json_text << toml::json_formatter{*array};
      } else {
        Bad(at, "must be a list of numbers or {number = ..., service = ...}");
      }
      person.page = nlohmann::json::parse(json_text.str());
      for (const auto& entry : person.page) {
        if (!entry.is_string() && !entry.is_object()) {
          Bad(at, "must be a list of numbers or {number = ..., service = ...}");
        }
      }
    } else if (name == "email") {
      person.email = TextAt(value, at);
    } else if (name == "timezone") {
      person.timezone = TextAt(value, at);
      Zone(person.timezone, at);
    } else if (name == "voice") {
      person.voice = TextAt(value, at);
    } else {
      Bad(at, "unknown key (there are name, phone, page, email, timezone, voice)");
    }
  }
  if (person.name.empty()) person.name = key;
  if (person.phone.empty() && person.page.empty()) {
    Bad(where, "needs a phone to call (phone = \"5551234\") or a page destination");
  }
  return person;
}

Rotation ParseRotation(const toml::table& table, const std::string& where,
                       const OnCallConfig& config, const cctz::time_zone& zone) {
  Rotation rotation;
  bool has_start = false;
  for (const auto& [k, value] : table) {
    const std::string name(k.str());
    const std::string at = where + " " + name;
    if (name == "people") {
      rotation.people = TextList(value, at);
      for (const std::string& person : rotation.people) CheckPerson(config, person, at);
    } else if (name == "start") {
      rotation.start = LocalTime(value, at);
      has_start = true;
    } else if (name == "shift") {
      rotation.shift = DurationAt(value, at);
    } else if (name == "days") {
      for (const std::string& day : TextList(value, at)) {
        const auto found = std::find(std::begin(kWeekdays), std::end(kWeekdays), day);
        if (found == std::end(kWeekdays)) {
          Bad(at, "\"" + day + "\" is not a day (mon, tue, wed, thu, fri, sat, sun)");
        }
        rotation.days.push_back(static_cast<int>(found - std::begin(kWeekdays)));
      }
    } else if (name == "hours") {
      const std::string text = TextAt(value, at);
      const auto dash = text.find('-');
      const int from = dash == std::string::npos ? -1 : MinuteOfDay(text.substr(0, dash), false);
      const int until = dash == std::string::npos ? -1 : MinuteOfDay(text.substr(dash + 1), true);
      if (from < 0 || until < 0 || from == until) {
        Bad(at, "must be local hours such as \"09:00-18:00\" (or \"22:00-06:00\")");
      }
      rotation.hours = std::pair{from, until};
    } else if (name == "ical") {
      rotation.ical = TextAt(value, at);
      try {
        IcalSource source = IcalSource::Read(rotation.ical, zone);
        source.RenamePeople([&](const std::string& summary) {
          if (config.people.contains(summary)) return summary;
          for (const auto& [key, person] : config.people) {
            if (person.name == summary) return key;
          }
          throw std::runtime_error("the event \"" + summary +
                                   "\" names nobody of [people.*] (SUMMARY is a key or a name)");
        });
        rotation.events = std::make_shared<IcalSource>(std::move(source));
      } catch (const std::runtime_error& e) {
        Bad(at, e.what());
      }
    } else {
      Bad(at, "unknown key (there are people, start, shift, days, hours, ical)");
    }
  }
  if (!rotation.ical.empty()) {
    if (!rotation.people.empty() || has_start || rotation.shift.count() != 0) {
      Bad(where, "takes its people from the iCal file: no people, start or shift beside ical");
    }
    return rotation;
  }
  if (rotation.people.empty()) Bad(where + " people", "needs at least one person");
  if (!has_start)
    Bad(where + " start", "is missing (a local date-time such as 2026-03-23T09:00:00)");
  if (rotation.shift.count() == 0)
    Bad(where + " shift", "is missing (such as \"12h\", \"1d\", \"1w\")");
  if (rotation.shift < std::chrono::minutes(1)) Bad(where + " shift", "must be at least \"1m\"");
  return rotation;
}

Schedule ParseSchedule(const std::string& key, const toml::table& table, const std::string& origin,
                       const OnCallConfig& config) {
  const std::string where = origin + ": [schedules." + key + "]";
  Schedule schedule;
  schedule.name = key;
  const toml::node* zone = table.get("timezone");
  if (zone == nullptr)
    Bad(where + " timezone", "is missing (an IANA zone such as \"Europe/Berlin\")");
  schedule.timezone = TextAt(*zone, where + " timezone");
  schedule.zone = Zone(schedule.timezone, where + " timezone");
  for (const auto& [k, value] : table) {
    const std::string name(k.str());
    const std::string at = where + " " + name;
    if (name == "timezone") continue;
    if (name != "rotations" && name != "overrides") {
      Bad(at, "unknown key (there are timezone, rotations, overrides)");
    }
    const auto* array = value.as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
      Bad(at, "must be tables, [[schedules." + key + "." + name + "]]");
    }
    if (array->size() > kMaxList) Bad(at, "has more than 1000 entries");
    std::size_t index = 0;
    for (const toml::node& entry : *array) {
      ++index;
      const std::string item =
          origin + ": [[schedules." + key + "." + name + "]] number " + std::to_string(index);
      const toml::table& entry_table = TableAt(entry, item);
      if (name == "rotations") {
        schedule.rotations.push_back(ParseRotation(entry_table, item, config, schedule.zone));
        continue;
      }
      Override override;
      bool from = false, until = false;
      for (const auto& [ok, ovalue] : entry_table) {
        const std::string oname(ok.str());
        const std::string oat = item + " " + oname;
        if (oname == "person") {
          override.person = TextAt(ovalue, oat);
          CheckPerson(config, override.person, oat);
        } else if (oname == "from") {
          override.from = LocalTime(ovalue, oat);
          from = true;
        } else if (oname == "until") {
          override.until = LocalTime(ovalue, oat);
          until = true;
        } else {
          Bad(oat, "unknown key (there are person, from, until)");
        }
      }
      if (override.person.empty()) Bad(item + " person", "is missing");
      if (!from || !until) Bad(item, "needs from and until (local date-times)");
      if (override.until <= override.from) Bad(item + " until", "must come after from");
      schedule.overrides.push_back(override);
    }
  }
  if (schedule.rotations.empty() && schedule.overrides.empty()) {
    Bad(where, "needs at least one [[schedules." + key + ".rotations]]");
  }
  return schedule;
}

Policy ParsePolicy(const std::string& key, const toml::table& table, const std::string& origin,
                   const OnCallConfig& config) {
  const std::string where = origin + ": [policies." + key + "]";
  Policy policy;
  policy.name = key;
  for (const auto& [k, value] : table) {
    const std::string name(k.str());
    const std::string at = where + " " + name;
    if (name == "repeat") {
      const auto* number = value.as_integer();
      if (number == nullptr || number->get() < 0 || number->get() > 100) {
        Bad(at, "must be a whole number from 0 to 100");
      }
      policy.repeat = static_cast<int>(number->get());
    } else if (name == "steps") {
      const auto* array = value.as_array();
      if (array == nullptr || !array->is_array_of_tables()) {
        Bad(at, "must be tables, [[policies." + key + ".steps]]");
      }
      if (array->size() > 100) Bad(at, "has more than 100 steps");
      std::size_t index = 0;
      for (const toml::node& entry : *array) {
        ++index;
        const std::string item =
            origin + ": [[policies." + key + ".steps]] number " + std::to_string(index);
        Step step;
        bool has_wait = false;
        for (const auto& [sk, svalue] : TableAt(entry, item)) {
          const std::string sname(sk.str());
          const std::string sat = item + " " + sname;
          if (sname == "notify") {
            step.notify = TextList(svalue, sat);
            for (const std::string& target : step.notify) {
              if (target.rfind("person:", 0) == 0) {
                CheckPerson(config, target.substr(7), sat);
              } else if (target.rfind("schedule:", 0) == 0) {
                if (!config.schedules.contains(target.substr(9))) {
                  Bad(sat, "there is no [schedules." + target.substr(9) + "]");
                }
              } else {
                Bad(sat, "\"" + target + "\" is neither \"person:NAME\" nor \"schedule:NAME\"");
              }
            }
          } else if (sname == "wait") {
            step.wait = DurationAt(svalue, sat);
            has_wait = true;
          } else {
            Bad(sat, "unknown key (there are notify, wait)");
          }
        }
        if (step.notify.empty()) Bad(item + " notify", "needs at least one person or schedule");
        if (!has_wait) Bad(item + " wait", "is missing (such as \"5m\")");
        policy.steps.push_back(step);
      }
    } else {
      Bad(at, "unknown key (there are steps, repeat)");
    }
  }
  if (policy.steps.empty()) Bad(where, "needs at least one [[policies." + key + ".steps]]");
  return policy;
}

Heartbeat ParseHeartbeat(const std::string& key, const toml::table& table,
                         const std::string& origin, const OnCallConfig& config) {
  const std::string where = origin + ": [heartbeats." + key + "]";
  Heartbeat heartbeat;
  heartbeat.name = key;
  for (const auto& [k, value] : table) {
    const std::string name(k.str());
    const std::string at = where + " " + name;
    if (name == "every") {
      heartbeat.every = DurationAt(value, at);
    } else if (name == "policy") {
      heartbeat.policy = TextAt(value, at);
      if (!config.policies.contains(heartbeat.policy)) {
        Bad(at, "there is no [policies." + heartbeat.policy + "]");
      }
    } else {
      Bad(at, "unknown key (there are every, policy)");
    }
  }
  if (heartbeat.every.count() == 0) Bad(where + " every", "is missing (such as \"1h\")");
  if (heartbeat.policy.empty()) Bad(where + " policy", "is missing");
  return heartbeat;
}

// The tables of [NAME.*] under `key`, each checked for its name.
template <typename Each>
void ForEachTable(const toml::table& document, const char* key, const std::string& origin,
                  Each each) {
  const toml::node* node = document.get(key);
  if (node == nullptr) return;
  const auto* tables = node->as_table();
  if (tables == nullptr) Bad(origin, std::string(key) + " must be tables, [" + key + ".NAME]");
  for (const auto& [k, value] : *tables) {
    const std::string name(k.str());
    const std::string where = origin + ": [" + key + "." + name + "]";
    if (!IsTableName(name)) {
      Bad(where, "a name has letters, digits, '-', '_' and '.' only (it is part of a URL)");
    }
    each(name, TableAt(value, where), where);
  }
}

}  // namespace

std::optional<Seconds> ParseDuration(std::string_view text) {
  if (text.size() < 2 || text.size() > 12) return std::nullopt;
  std::int64_t number = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size() - 1, number);
  if (ec != std::errc{} || end != text.data() + text.size() - 1 || number <= 0) return std::nullopt;
  std::int64_t unit = 0;
  switch (text.back()) {
    case 's':
      unit = 1;
      break;
    case 'm':
      unit = 60;
      break;
    case 'h':
      unit = 3600;
      break;
    case 'd':
      unit = 86400;
      break;
    case 'w':
      unit = 7 * 86400;
      break;
    default:
      return std::nullopt;
  }
  if (number > 100LL * 365 * 86400 / unit) return std::nullopt;  // at most a century
  return Seconds(number * unit);
}

std::string FormatDuration(Seconds duration) {
  const std::int64_t s = duration.count();
  if (s > 0 && s % (7 * 86400) == 0) return std::to_string(s / (7 * 86400)) + "w";
  if (s > 0 && s % 86400 == 0) return std::to_string(s / 86400) + "d";
  if (s > 0 && s % 3600 == 0) return std::to_string(s / 3600) + "h";
  if (s > 0 && s % 60 == 0) return std::to_string(s / 60) + "m";
  return std::to_string(s) + "s";
}

bool IsOnCallTable(std::string_view key) {
  return key == "people" || key == "schedules" || key == "policies" || key == "heartbeats";
}

OnCallConfig ParseOnCallConfig(const std::string& text, const std::string& origin) {
  const toml::table document = ParseTables(text, origin);
  OnCallConfig config;
  ForEachTable(document, "people", origin,
               [&](const std::string& name, const toml::table& table, const std::string& where) {
                 config.people.emplace(name, ParsePerson(name, table, where));
               });
  ForEachTable(document, "schedules", origin,
               [&](const std::string& name, const toml::table& table, const std::string&) {
                 config.schedules.emplace(name, ParseSchedule(name, table, origin, config));
               });
  ForEachTable(document, "policies", origin,
               [&](const std::string& name, const toml::table& table, const std::string&) {
                 config.policies.emplace(name, ParsePolicy(name, table, origin, config));
               });
  ForEachTable(document, "heartbeats", origin,
               [&](const std::string& name, const toml::table& table, const std::string&) {
                 config.heartbeats.emplace(name, ParseHeartbeat(name, table, origin, config));
               });
  return config;
}

OnCallConfig ReadOnCallConfig(const std::string& path, bool required) {
  const std::optional<std::string> text = ReadTablesFile(path, required);
  return text ? ParseOnCallConfig(*text, path) : OnCallConfig{};
}

}  // namespace ringwell::oncall
