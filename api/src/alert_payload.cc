#include "alert_payload.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace ringwell::api {
namespace {

using nlohmann::json;

constexpr int kMaxDepth = 16;
constexpr std::size_t kMaxAlerts = 1000;

struct TooDeep {};

[[noreturn]] void Bad(const std::string& what) { throw std::invalid_argument(what); }

std::string Text(const json& object, const char* key, const std::string& where, bool required) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) {
    if (required) Bad(where + key + ": missing");
    return {};
  }
  if (!found->is_string()) Bad(where + key + ": must be a text");
  return found->get<std::string>();
}

AlertLabels Labels(const json& object, const char* key, const std::string& where) {
  AlertLabels labels;
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return labels;
  if (!found->is_object()) Bad(where + key + ": must be an object of texts");
  for (const auto& [name, value] : found->items()) {
    if (!value.is_string()) Bad(where + key + "." + name + ": must be a text");
    labels.emplace(name, value.get<std::string>());
  }
  return labels;
}

std::string Status(const json& object, const std::string& where) {
  const std::string status = Text(object, "status", where, true);
  if (status != "firing" && status != "resolved") {
    Bad(where + "status: must be \"firing\" or \"resolved\", not \"" + status + "\"");
  }
  return status;
}

// The labels as one text, in the order of their names.
std::string LabelText(const AlertLabels& labels) {
  std::string text;
  for (const auto& [name, value] : labels) text += name + "=" + value + ";";
  return text;
}

AlertGroup WebhookAlert(const json& payload) {
  AlertGroup group;
  group.status = Status(payload, "");
  group.group_key = Text(payload, "group", "", false);
  Alert alert;
  alert.status = group.status;
  alert.labels = Labels(payload, "labels", "");
  alert.annotations = Labels(payload, "annotations", "");
  if (const std::string summary = Text(payload, "summary", "", false); !summary.empty()) {
    alert.annotations["summary"] = summary;
  }
  if (group.group_key.empty()) group.group_key = LabelText(alert.labels);
  if (group.group_key.empty()) Bad("group: missing (or labels that make the group)");
  alert.fingerprint = "webhook:" + group.group_key + ":" + LabelText(alert.labels);
  group.common_labels = alert.labels;
  group.common_annotations = alert.annotations;
  group.alerts.push_back(std::move(alert));
  return group;
}

// The value at `pointer` as a text: a text as it is, a number or boolean as
// JSON writes it.
std::string ScalarText(const json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

const json& At(const json& payload, const std::string& pointer, const char* role) {
  const json* found = nullptr;
  try {
    const json::json_pointer at(pointer);
    if (payload.contains(at)) found = &payload.at(at);
  } catch (const json::exception&) {
    // an array index that is no number: not there either
  }
  if (found == nullptr) {
    throw PayloadMismatch(pointer + " (the route's " + role + "): not in the payload");
  }
  const json& value = *found;
  if (!value.is_string() && !value.is_number() && !value.is_boolean()) {
    throw PayloadMismatch(pointer + " (the route's " + role +
                          "): must be a text, number or boolean, not " + value.type_name());
  }
  return value;
}

AlertGroup MappedAlert(const json& payload, const WebhookFields& fields) {
  AlertGroup group;
  group.group_key = ScalarText(At(payload, fields.key, "key"));
  if (group.group_key.empty()) throw PayloadMismatch(fields.key + " (the route's key): empty");
  group.status = "firing";
  if (!fields.resolved.empty() &&
      ScalarText(At(payload, fields.resolved, "resolved")) == ScalarText(fields.resolved_when)) {
    group.status = "resolved";
  }
  Alert alert;
  alert.status = group.status;
  if (!fields.name.empty())
    alert.labels["alertname"] = ScalarText(At(payload, fields.name, "name"));
  if (!fields.text.empty()) {
    alert.annotations["summary"] = ScalarText(At(payload, fields.text, "text"));
  }
  alert.fingerprint = "webhook:" + group.group_key;
  group.common_labels = alert.labels;
  group.common_annotations = alert.annotations;
  group.alerts.push_back(std::move(alert));
  return group;
}

}  // namespace

std::vector<const Alert*> AlertGroup::Current() const {
  std::vector<const Alert*> current;
  for (const Alert& alert : alerts) {
    if (alert.status == status) current.push_back(&alert);
  }
  return current;
}

AlertGroup ParseAlertPayload(const std::string& body, AlertSource source,
                             const WebhookFields* fields) {
  const json::parser_callback_t limit_depth = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= kMaxDepth) {
      throw TooDeep{};
    }
    return true;
  };
  json payload;
  try {
    payload = json::parse(body, limit_depth);
  } catch (const TooDeep&) {
    Bad("the payload nests deeper than " + std::to_string(kMaxDepth) + " levels");
  } catch (const json::exception& e) {
    Bad(std::string("the payload is not JSON: ") + e.what());
  }
  if (source == AlertSource::kWebhook && fields != nullptr) return MappedAlert(payload, *fields);
  if (!payload.is_object()) Bad("the payload must be a JSON object");
  if (source == AlertSource::kWebhook) return WebhookAlert(payload);
  const bool grafana = source == AlertSource::kGrafana;
  const std::string version = Text(payload, "version", "", !grafana);
  const char* wanted = grafana ? "1" : "4";
  if (!version.empty() && version != wanted) {
    Bad(std::string("version must be \"") + wanted + "\" (" +
        (grafana ? "Grafana's web hook contact point" : "Alertmanager's web hook") +
        " payload), not \"" + version + "\"");
  }
  AlertGroup group;
  group.status = Status(payload, "");
  group.group_key = Text(payload, "groupKey", "", !grafana);
  group.receiver = Text(payload, "receiver", "", false);
  group.common_labels = Labels(payload, "commonLabels", "");
  group.common_annotations = Labels(payload, "commonAnnotations", "");
  const auto alerts = payload.find("alerts");
  if (alerts == payload.end() || !alerts->is_array()) Bad("alerts: must be a list");
  if (alerts->empty()) Bad("alerts: the list is empty");
  if (alerts->size() > kMaxAlerts) Bad("alerts: more than 1000 alerts");
  for (std::size_t i = 0; i < alerts->size(); ++i) {
    const json& entry = (*alerts)[i];
    const std::string where = "alerts[" + std::to_string(i) + "].";
    if (!entry.is_object()) Bad(where.substr(0, where.size() - 1) + ": must be an object");
    Alert alert;
    alert.status = Status(entry, where);
    alert.labels = Labels(entry, "labels", where);
    alert.annotations = Labels(entry, "annotations", where);
    alert.fingerprint = Text(entry, "fingerprint", where, false);
    group.alerts.push_back(std::move(alert));
  }
  if (group.group_key.empty()) {
    // A Grafana payload without a group key: its alerts make the group.
    for (const Alert& alert : group.alerts) {
      if (!alert.fingerprint.empty()) {
        group.group_key += alert.fingerprint;
      } else {
        for (const auto& [name, value] : alert.labels) group.group_key += name + "=" + value + ";";
      }
      group.group_key += ',';
    }
  }
  return group;
}

}  // namespace ringwell::api
