#include "ringwell/oncall/incident.h"

#include <stdexcept>

namespace ringwell::oncall {
namespace {

using nlohmann::json;

json OptionalTime(const std::optional<Instant>& at) {
  return at ? json(FormatInstant(*at)) : json(nullptr);
}

Instant Time(const json& value, const char* key) {
  const auto at = value.is_string() ? ParseInstant(value.get<std::string>()) : std::nullopt;
  if (!at) throw std::runtime_error(std::string(key) + " is not a UTC time");
  return *at;
}

std::optional<Instant> MaybeTime(const json& document, const char* key) {
  if (!document.contains(key) || document[key].is_null()) return std::nullopt;
  return Time(document[key], key);
}

}  // namespace

std::string FormatInstant(Instant at) {
  return cctz::format("%Y-%m-%dT%H:%M:%SZ", at, cctz::utc_time_zone());
}

std::optional<Instant> ParseInstant(const std::string& text) {
  cctz::time_point<Seconds> at;
  if (text.size() != 20 || !cctz::parse("%Y-%m-%dT%H:%M:%SZ", text, cctz::utc_time_zone(), &at)) {
    return std::nullopt;
  }
  return at;
}

json Incident::ToJson(bool with_timeline) const {
  json document = {
      {"id", id},
      {"state", state},
      {"route", route},
      {"policy", policy},
      {"groupKey", group_key},
      {"text", text},
      {"labels", labels},
      {"alerts", alerts},
      {"opened", FormatInstant(opened)},
      {"step", step},
      {"due", OptionalTime(due)},
      {"acknowledgedBy", acknowledged_by.empty() ? json(nullptr) : json(acknowledged_by)},
      {"acknowledged", OptionalTime(acknowledged_at)},
      {"resolved", OptionalTime(resolved_at)},
      {"silence", silence.empty() ? json(nullptr) : json(silence)}};
  json list = json::array();
  for (const IncidentCall& call : calls) {
    list.push_back({{"step", call.step},
                    {"person", call.person},
                    {"request", call.request.empty() ? json(nullptr) : json(call.request)},
                    {"state", call.state},
                    {"result", call.result.empty() ? json(nullptr) : json(call.result)}});
  }
  document["calls"] = list;
  if (with_timeline) {
    json entries = json::array();
    for (const TimelineEntry& entry : timeline) {
      entries.push_back(
          {{"at", FormatInstant(entry.at)}, {"event", entry.event}, {"text", entry.text}});
    }
    document["timeline"] = entries;
  }
  return document;
}

Incident Incident::FromJson(const json& document) {
  try {
    Incident incident;
    incident.id = document.at("id").get<std::string>();
    incident.state = document.at("state").get<std::string>();
    if (incident.state != "open" && incident.state != "acknowledged" &&
        incident.state != "resolved") {
      throw std::runtime_error("state \"" + incident.state + "\" is not one of an incident");
    }
    incident.route = document.at("route").get<std::string>();
    incident.policy = document.at("policy").get<std::string>();
    incident.group_key = document.at("groupKey").get<std::string>();
    incident.text = document.at("text").get<std::string>();
    incident.labels = document.value("labels", json::object());
    incident.alerts = document.value("alerts", std::vector<std::string>{});
    incident.opened = Time(document.at("opened"), "opened");
    incident.step = document.at("step").get<int>();
    incident.due = MaybeTime(document, "due");
    incident.acknowledged_by = document.value("acknowledgedBy", json("")).is_string()
                                   ? document.value("acknowledgedBy", json("")).get<std::string>()
                                   : "";
    incident.acknowledged_at = MaybeTime(document, "acknowledged");
    incident.resolved_at = MaybeTime(document, "resolved");
    if (document.contains("silence") && document["silence"].is_string()) {
      incident.silence = document["silence"].get<std::string>();
    }
    for (const json& call : document.at("calls")) {
      incident.calls.push_back(
          {call.at("step").get<int>(), call.at("person").get<std::string>(),
           call.at("request").is_string() ? call.at("request").get<std::string>() : "",
           call.at("state").get<std::string>(),
           call.at("result").is_string() ? call.at("result").get<std::string>() : ""});
    }
    for (const json& entry : document.value("timeline", json::array())) {
      incident.timeline.push_back({Time(entry.at("at"), "at"), entry.at("event").get<std::string>(),
                                   entry.at("text").get<std::string>()});
    }
    return incident;
  } catch (const json::exception& e) {
    throw std::runtime_error(std::string("not an incident: ") + e.what());
  }
}

}  // namespace ringwell::oncall
