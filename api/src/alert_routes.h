// The alert routes of ringwell-api: what an alert sent to
// /v1/hooks/alertmanager/{route} or /v1/hooks/grafana/{route} becomes. They
// are read from a TOML file (--routes, AlertRoutes in the registry, else
// /etc/ringwell/alert-routes.toml), one table per route:
//
//   [routes.oncall]
//   numbers = ["5551234"]                      who is called (at least one of numbers, page)
//   say = "{status}: {labels.alertname}. {annotations.summary}"   optional template
//   page = ["5559876", {number = "ops@example.net", service = "mail"}]   also paged
//   window = {stop = "+2h"}                    as in a request description
//   rings = 5
//   busy = {attempts = 3, delay = 2}           also noAnswer, error; maxGreeting
//   voice = "Female"
//   responses = [{button = "1", message = ["Acknowledged."]}]   keypad responses
//   resolved = "cancel"                        "say" | "cancel" (default) | "ignore"
//   sayResolved = "Resolved: {labels.alertname}."   what resolved = "say" says
//                                              (this is the default; no responses)
//   policy = "critical"                        on call: an incident runs this escalation
//                                              policy instead of calling numbers
//   alertmanager = "http://127.0.0.1:9093"     on call: a silence on acknowledgement
//   silence = "2h"                             its length (default "2h")
//
//   [routes.kuma.webhook]                      /v1/hooks/webhook/kuma reads any JSON
//   key = "/monitor/id"                        through JSON pointers: the deduplication key
//   text = "/msg"                              optional: the summary
//   name = "/monitor/name"                     optional: the alert's name
//   resolved = "/heartbeat/status"             optional, with resolvedWhen: resolved
//   resolvedWhen = 1                           when the value there equals this
//                                              (a text, number or boolean), else firing
//
// The on-call tables of the same file ([people.*], [schedules.*],
// [policies.*], [heartbeats.*]) are read by ringwell/oncall/config.h.
//
// The keys shared with request descriptions (window, rings, maxGreeting,
// busy, noAnswer, error, responses) are handed to the same checks as a
// request sent to POST /v1/requests.
//
// Thread-safety: a parsed table is a value, read by any number of threads.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "alert_template.h"

namespace ringwell::api {

inline constexpr char kDefaultAlertRoutesFile[] = "/etc/ringwell/alert-routes.toml";

inline constexpr char kDefaultSayResolved[] = "Resolved: {labels.alertname}.";

enum class OnResolved { kCancel, kSay, kIgnore };

struct AlertRoute {
  std::string name;
  nlohmann::json numbers = nlohmann::json::array();  // recipients of the call
  nlohmann::json page = nlohmann::json::array();     // recipients of the page
  AlertTemplate say;                                 // empty: the default text
  AlertTemplate say_resolved = AlertTemplate::Parse(kDefaultSayResolved);
  std::string voice;
  OnResolved resolved = OnResolved::kCancel;
  // The keys passed on to the request description as they are.
  nlohmann::json request = nlohmann::json::object();
  // On call (oncall_routes.h): the escalation policy, the Alertmanager told
  // of acknowledgements and the length of its silence, in seconds.
  std::string policy;
  std::string alertmanager;
  long silence_seconds = 2 * 3600;
  // The generic web hook's payload read through JSON pointers (key empty:
  // the payload has the fixed shape of alert_payload.h).
  WebhookFields webhook;
};

using AlertRoutes = std::map<std::string, AlertRoute>;

// The routes a running API serves: replaced as a whole when SIGHUP reads the
// file again. A reader takes the table once (Get) and keeps it while it
// works with one of its routes, so a reload never changes a route under it.
class LiveAlertRoutes {
 public:
  explicit LiveAlertRoutes(AlertRoutes routes)
      : routes_(std::make_shared<const AlertRoutes>(std::move(routes))) {}
  std::shared_ptr<const AlertRoutes> Get() const {
    std::lock_guard lock(mutex_);
    return routes_;
  }
  void Replace(AlertRoutes routes) {
    auto next = std::make_shared<const AlertRoutes>(std::move(routes));
    std::lock_guard lock(mutex_);
    routes_.swap(next);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const AlertRoutes> routes_;
};

// Parses the text of a routes file. Throws std::runtime_error naming the
// origin, the route and the key (or the line, for TOML that does not parse).
AlertRoutes ParseAlertRoutes(const std::string& text, const std::string& origin);

// Reads the routes file. A missing file is no routes when `required` is
// false (the default file), and refused otherwise.
AlertRoutes ReadAlertRoutes(const std::string& path, bool required);

// The request description of a call (or, with `page`, of a page) for `text`.
// A `resolved` call says its text without the route's keypad responses.
nlohmann::json DescribeRequest(const AlertRoute& route, const std::string& text, bool page,
                               bool resolved = false);

}  // namespace ringwell::api
