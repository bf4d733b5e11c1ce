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
// Thread-safety: values; the parsers keep no state.
#pragma once

#include <map>
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

// Reads a notification's JSON text. Throws std::invalid_argument with the
// reason ("alerts[0].labels: must be an object of texts", "version must be
// \"4\" (Alertmanager's web hook payload), not \"3\"").
AlertGroup ParseAlertPayload(const std::string& body, AlertSource source);

}  // namespace ringwell::api
