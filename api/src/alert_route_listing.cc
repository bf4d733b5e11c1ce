// GET /v1/hooks/routes (scope read): the alert routes this API was started
// with, and for each the alert groups it called about (from the alert
// ledger): what the console shows under "Alert routes".
#include <ctime>

#include "alert_ledger.h"
#include "alert_routes.h"
#include "api_context.h"

namespace ringwell::api {
namespace {

using nlohmann::json;

const char* ResolvedWord(OnResolved resolved) {
  switch (resolved) {
    case OnResolved::kSay:
      return "say";
    case OnResolved::kIgnore:
      return "ignore";
    case OnResolved::kCancel:
      break;
  }
  return "cancel";
}

std::string UtcTime(std::int64_t millis) {
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm parts{};
  char text[32] = "";
  if (::gmtime_r(&seconds, &parts) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  }
  return text;
}

json Groups(AlertLedger& ledger, const std::string& route) {
  json groups = json::array();
  for (const char* source : {"alertmanager", "grafana"}) {
    for (const auto& [key, group] : ledger.GroupsOf(std::string(source) + "/" + route)) {
      groups.push_back({{"source", source},
                        {"groupKey", key},
                        {"requests", group.firing},
                        {"resolvedRequests", group.resolved},
                        {"alerts", group.alerts.size()},
                        {"time", UtcTime(group.time_millis)}});
    }
  }
  return groups;
}

}  // namespace

HttpResponse AlertRoutesRoute(ApiContext& context, const HttpRequest&, const RouteParams&,
                              const Identity*) {
  json routes = json::array();
  const auto table = context.alert_routes.Get();
  for (const auto& [name, route] : *table) {
    routes.push_back({{"name", name},
                      {"numbers", route.numbers},
                      {"page", route.page},
                      {"say", route.say.text()},
                      {"sayResolved", route.say_resolved.text()},
                      {"resolved", ResolvedWord(route.resolved)},
                      {"groups", Groups(context.alert_ledger, name)}});
  }
  return JsonResponse(200, {{"routes", routes}});
}

}  // namespace ringwell::api
