#include "alert_routes.h"

#include <toml++/toml.h>

#include <sstream>
#include <stdexcept>

#include "ringwell/oncall/config.h"
#include "ringwell/oncall/tables.h"

namespace ringwell::api {
namespace {

using nlohmann::json;

// The keys handed to the request description as they are.
constexpr const char* kRequestKeys[] = {"window",   "rings", "maxGreeting", "busy",
                                        "noAnswer", "error", "responses"};

using oncall::Bad;

json RecipientList(const json& value, const std::string& where, bool page) {
  if (!value.is_array()) Bad(where, "must be a list");
  for (const json& entry : value) {
    if (entry.is_string()) continue;
    if (page && entry.is_object()) continue;  // {number, service}: checked with the request
    Bad(where, page ? "must be a list of numbers or {number = ..., service = ...}"
                    : "must be a list of numbers (texts)");
  }
  return value;
}

// The keys of a route that hands its alerts to the on-call engine.
bool ParseOnCallKey(const std::string& key, const json& value, const std::string& at,
                    AlertRoute& route) {
  if (key == "policy") {
    if (!value.is_string() || value.get<std::string>().empty()) Bad(at, "must be a policy's name");
    route.policy = value.get<std::string>();
  } else if (key == "alertmanager") {
    const std::string url = value.is_string() ? value.get<std::string>() : "";
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
      Bad(at, "must be Alertmanager's address, such as \"http://127.0.0.1:9093\"");
    }
    route.alertmanager = url;
  } else if (key == "silence") {
    route.silence_seconds = static_cast<long>(
        oncall::DurationAt(value.is_string() ? value.get_ptr<const std::string*>() : nullptr, at)
            .count());
  } else {
    return false;
  }
  return true;
}

std::string PointerAt(const json& value, const std::string& at) {
  const std::string text = value.is_string() ? value.get<std::string>() : "";
  try {
    if (!text.empty()) {
      (void)json::json_pointer(text);
      return text;
    }
  } catch (const json::exception&) {
    // said below
  }
  Bad(at,
      "must be a JSON pointer such as \"/monitor/id\" (RFC 6901: \"/\" before each name, "
      "\"~1\" for a \"/\" and \"~0\" for a \"~\" in a name)");
}

// [routes.NAME.webhook]: where the generic web hook finds the alert.
WebhookFields ParseWebhookFields(const json& table, const std::string& where) {
  if (!table.is_object()) Bad(where, "must be a table");
  WebhookFields fields;
  bool has_when = false;
  for (const auto& [key, value] : table.items()) {
    const std::string at = where + " " + key;
    if (key == "key") {
      fields.key = PointerAt(value, at);
    } else if (key == "text") {
      fields.text = PointerAt(value, at);
    } else if (key == "name") {
      fields.name = PointerAt(value, at);
    } else if (key == "resolved") {
      fields.resolved = PointerAt(value, at);
    } else if (key == "resolvedWhen") {
      if (!value.is_string() && !value.is_number() && !value.is_boolean()) {
        Bad(at, "must be a text, number or boolean");
      }
      fields.resolved_when = value;
      has_when = true;
    } else {
      Bad(at, "unknown key (there are key, text, name, resolved, resolvedWhen)");
    }
  }
  if (fields.key.empty()) Bad(where, "needs key, the JSON pointer of the deduplication key");
  if (fields.resolved.empty() != !has_when) {
    Bad(where,
        "resolved and resolvedWhen go together (resolved = \"/status\", "
        "resolvedWhen = \"up\")");
  }
  return fields;
}

AlertRoute ParseRoute(const std::string& name, const json& table, const std::string& origin) {
  const std::string where = origin + ": [routes." + name + "]";
  if (!oncall::IsTableName(name)) {
    Bad(where, "a route's name has letters, digits, '-', '_' and '.' only (it is part of a URL)");
  }
  if (!table.is_object()) Bad(where, "must be a table");
  AlertRoute route;
  route.name = name;
  for (const auto& [key, value] : table.items()) {
    const std::string at = where + " " + key;
    if (key == "numbers") {
      route.numbers = RecipientList(value, at, false);
    } else if (key == "page") {
      route.page = RecipientList(value, at, true);
    } else if (key == "say") {
      if (!value.is_string()) Bad(at, "must be a text");
      try {
        route.say = AlertTemplate::Parse(value.get<std::string>());
      } catch (const std::invalid_argument& e) {
        Bad(at, e.what());
      }
    } else if (key == "sayResolved") {
      if (!value.is_string()) Bad(at, "must be a text");
      try {
        route.say_resolved = AlertTemplate::Parse(value.get<std::string>());
      } catch (const std::invalid_argument& e) {
        Bad(at, e.what());
      }
    } else if (key == "voice") {
      if (!value.is_string()) Bad(at, "must be a text");
      route.voice = value.get<std::string>();
    } else if (key == "resolved") {
      const std::string word = value.is_string() ? value.get<std::string>() : "";
      if (word == "cancel") {
        route.resolved = OnResolved::kCancel;
      } else if (word == "say") {
        route.resolved = OnResolved::kSay;
      } else if (word == "ignore") {
        route.resolved = OnResolved::kIgnore;
      } else {
        Bad(at, "must be \"say\", \"cancel\" or \"ignore\"");
      }
    } else if (key == "webhook") {
      route.webhook = ParseWebhookFields(value, origin + ": [routes." + name + ".webhook]");
    } else if (ParseOnCallKey(key, value, at, route)) {
      // policy, alertmanager, silence
    } else if (std::find(std::begin(kRequestKeys), std::end(kRequestKeys), key) !=
               std::end(kRequestKeys)) {
      route.request[key] = value;
    } else {
      Bad(at,
          "unknown key (there are numbers, page, say, sayResolved, voice, window, rings, "
          "maxGreeting, busy, noAnswer, error, responses, resolved, policy, alertmanager, "
          "silence, webhook)");
    }
  }
  if (route.numbers.empty() && route.page.empty() && route.policy.empty()) {
    Bad(where, "needs numbers to call (numbers = [\"5551234\"]) or to page (page = [...])");
  }
  return route;
}

}  // namespace

AlertRoutes ParseAlertRoutes(const std::string& text, const std::string& origin) {
  const toml::table table = oncall::ParseTables(text, origin);
  // TOML as JSON, so the keys a request shares reach the request's own checks.
  std::ostringstream text_json;
  text_json << toml::json_formatter{table};
  const json document = json::parse(text_json.str());
  AlertRoutes routes;
  for (const auto& [key, value] : document.items()) {
    if (oncall::IsOnCallTable(key)) continue;  // read by the on-call configuration
    if (key != "routes") Bad(origin, "unknown key \"" + key + "\" (routes are [routes.NAME])");
    if (!value.is_object()) Bad(origin, "routes must be tables, [routes.NAME]");
    for (const auto& [name, route] : value.items()) {
      routes.emplace(name, ParseRoute(name, route, origin));
    }
  }
  return routes;
}

AlertRoutes ReadAlertRoutes(const std::string& path, bool required) {
  const std::optional<std::string> text = oncall::ReadTablesFile(path, required);
  return text ? ParseAlertRoutes(*text, path) : AlertRoutes{};
}

json DescribeRequest(const AlertRoute& route, const std::string& text, bool page, bool resolved) {
  json description = page ? json::object() : route.request;
  if (resolved) description.erase("responses");
  description["type"] = page ? "page" : "call";
  description["recipients"] = page ? route.page : route.numbers;
  if (page && route.request.contains("window")) description["window"] = route.request["window"];
  json part = {{"say", text}};
  if (!route.voice.empty() && !page) part["voice"] = route.voice;
  description["message"] = json::array({part});
  return description;
}

}  // namespace ringwell::api
