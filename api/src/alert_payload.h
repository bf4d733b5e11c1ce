// Alert notifications as monitoring sends them to a web hook, read into one
// form: Prometheus Alertmanager's web hook payload (version "4") and
// Grafana's web hook contact point payload (version "1"). Both carry a
// group's status ("firing" or "resolved"), its groupKey, its alerts (each
// with a status, labels and annotations) and the labels and annotations all
// of them share.
//
// And the simple alert of the generic web hook, one alert per post, for any
// tool that can post JSON:
//
//   {"status": "firing" | "resolved", "group": "db1-disk",
//    "summary": "The disk of db1 is full", "labels": {"alertname": "DiskFull"},
//    "annotations": {...}}
//
// "status" is needed, and "group" or "labels": the group is the alert's
// deduplication key (a firing post while the group's call or incident goes on
// adds nothing; "resolved" ends it); without "group" the labels make it.
// "summary" is the annotation of that name (what is said after the alert's
// name).
//
// A route may instead read the generic web hook's payload through JSON
// pointers (RFC 6901), for a tool whose own payload cannot be shaped: the
// value at `key` is the deduplication key, the value at `text` the summary,
// the value at `name` the alert's name, and the alert is resolved when the
// value at `resolved` equals `resolved_when` (compared as texts, so "1" and 1
// are equal), firing otherwise. A pointer the payload lacks is refused with
// PayloadMismatch naming it.
//
// Thread-safety: values; the parsers keep no state.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace ringwell::api {

using AlertLabels = std::map<std::string, std::string>;

struct Alert {
  std::string status;  // "firing" or "resolved"
  AlertLabels labels;
  AlertLabels annotations;
  std::string fingerprint;
};

struct AlertGroup {
  std::string status;  // "firing" or "resolved"
  std::string group_key;
  std::string receiver;
  std::vector<Alert> alerts;
  AlertLabels common_labels;
  AlertLabels common_annotations;

  // The alerts that have the group's status.
  std::vector<const Alert*> Current() const;
};

enum class AlertSource { kAlertmanager, kGrafana, kWebhook };

// Where a route finds the alert in a web hook payload of any shape: JSON
// pointers, checked when the route is read (empty: not used).
struct WebhookFields {
  std::string key;
  std::string text;
  std::string name;
  std::string resolved;
  nlohmann::json resolved_when;  // a text, number or boolean
};

// A payload that is JSON but lacks what the route's pointers name.
class PayloadMismatch : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Reads a notification's JSON text. Throws std::invalid_argument with the
// reason ("alerts[0].labels: must be an object of texts", "version must be
// \"4\" (Alertmanager's web hook payload), not \"3\"").
// With `fields`, a web hook payload is read through them.
AlertGroup ParseAlertPayload(const std::string& body, AlertSource source,
                             const WebhookFields* fields = nullptr);

}  // namespace ringwell::api
