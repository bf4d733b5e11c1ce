// An incident: one alert group (or one missed heartbeat) on a route with an
// escalation policy, from the moment it opens until it is resolved, with the
// calls its steps placed and its timeline. Stored as JSON, one file per
// incident below the storage root (Incidents/ID.json).
//
// Thread-safety: plain values.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ringwell/oncall/config.h"

namespace ringwell::oncall {

inline constexpr char kPrompt[] =
    "Press 1 to acknowledge. Press 2 to pass it to the next step. Press 3 to hear it again.";

// What became of one call as far as its request's report tells.
struct CallOutcome {
  bool finished = false;
  std::string key;       // the last of "1" or "2" the callee chose; empty: none
  bool machine = false;  // answered by a machine (AMD)
  // "answered", "no answer", "busy", "voicemail", "failed", "canceled" once finished.
  std::string result;
};

struct IncidentCall {
  int step = 0;         // the step (counted from 1 over every round) that placed it
  std::string person;   // key of [people.*]
  std::string request;  // the request's ID; empty while being placed
  std::string state;    // "placing", "calling", "finished", "canceled", "unknown", "failed"
  std::string result;   // as CallOutcome::result once finished
};

struct TimelineEntry {
  Instant at;
  std::string event;  // "opened", "called", "answered", "no answer", ... , "resolved"
  std::string text;
};

struct Incident {
  std::string id;
  std::string state = "open";  // "open", "acknowledged", "resolved"
  std::string route;
  std::string policy;
  std::string group_key;
  std::string text;                                  // what the calls say before the prompt
  nlohmann::json labels = nlohmann::json::object();  // the group's common labels
  std::vector<std::string> alerts;                   // fingerprints that joined
  Instant opened;
  int step = 0;                // steps started so far (over every round)
  std::optional<Instant> due;  // when the next step starts; none once the chain stopped
  std::string acknowledged_by;
  std::optional<Instant> acknowledged_at;
  std::optional<Instant> resolved_at;
  std::string silence;  // the Alertmanager silence made on acknowledgement
  std::vector<IncidentCall> calls;
  std::vector<TimelineEntry> timeline;

  // The JSON the API shows and the file keeps (times as UTC text).
  nlohmann::json ToJson(bool with_timeline = true) const;
  // Throws std::runtime_error for a document that is not an incident.
  static Incident FromJson(const nlohmann::json& document);
};

std::string FormatInstant(Instant at);  // "2026-03-29T07:00:00Z"
std::optional<Instant> ParseInstant(const std::string& text);

}  // namespace ringwell::oncall
