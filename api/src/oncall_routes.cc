// The on-call routes of the API: incidents (list, one with its timeline,
// acknowledge, escalate, resolve, their changes as events), who is on call now and the next
// handoffs, each schedule as an iCal feed, heartbeats, and the alert hook's hand-over of a group on
// a route with an escalation policy.
#include <chrono>

#include "alert_payload.h"
#include "api_context.h"
#include "incident_feed.h"
#include "oncall_host.h"
#include "ringwell/common/text.h"
#include "ringwell/oncall/ical.h"
#include "ringwell/oncall/schedule.h"

namespace ringwell::api {
namespace {

using nlohmann::json;

constexpr std::size_t kHandoffs = 5;
constexpr auto kFeedDays = std::chrono::days(28);
constexpr auto kHorizon = std::chrono::days(366);

oncall::Instant Now() {
  return std::chrono::time_point_cast<oncall::Seconds>(std::chrono::system_clock::now());
}

HttpResponse NoSuchIncident(const std::string& id) {
  return ErrorResponse(404, "there is no incident " + id);
}

json PersonJson(const oncall::OnCallConfig& config, const std::string& key) {
  if (key.empty()) return nullptr;
  const auto found = config.people.find(key);
  return {{"person", key}, {"name", found != config.people.end() ? found->second.name : key}};
}

using Action = bool (oncall::Engine::*)(const std::string&, const std::string&);

HttpResponse Act(ApiContext& context, const RouteParams& params, const Identity* identity,
                 Action action, const char* what) {
  oncall::Engine& engine = context.oncall->engine();
  const std::string& id = params.at("id");
  const auto before = engine.Get(id);
  if (!before) return NoSuchIncident(id);
  bool done = false;
  try {
    done = (engine.*action)(id, identity->name);
  } catch (const std::exception& e) {
    return ErrorResponse(503, e.what());
  }
  const auto after = engine.Get(id);
  if (!done) {
    return ErrorResponse(
        409, "the incident " + id + " is " + after->state + ": it cannot be " + what + " now");
  }
  return JsonResponse(200, after->ToJson());
}

}  // namespace

HttpResponse ListIncidentsRoute(ApiContext& context, const HttpRequest& request, const RouteParams&,
                                const Identity*) {
  const std::vector<std::string> states = request.Arguments("state");
  for (const std::string& state : states) {
    if (state != "open" && state != "acknowledged" && state != "resolved") {
      return ErrorResponse(
          400, "state is \"open\", \"acknowledged\" or \"resolved\", not \"" + state + "\"",
          "state");
    }
  }
  json incidents = json::array();
  for (const oncall::Incident& incident : context.oncall->engine().List()) {
    if (!states.empty() &&
        std::find(states.begin(), states.end(), incident.state) == states.end()) {
      continue;
    }
    incidents.push_back(incident.ToJson(false));
  }
  return JsonResponse(200, {{"incidents", incidents}});
}

HttpResponse GetIncidentRoute(ApiContext& context, const HttpRequest&, const RouteParams& params,
                              const Identity*) {
  const auto incident = context.oncall->engine().Get(params.at("id"));
  if (!incident) return NoSuchIncident(params.at("id"));
  return JsonResponse(200, incident->ToJson());
}

HttpResponse AcknowledgeIncidentRoute(ApiContext& context, const HttpRequest&,
                                      const RouteParams& params, const Identity* identity) {
  return Act(context, params, identity, &oncall::Engine::Acknowledge, "acknowledged");
}

HttpResponse EscalateIncidentRoute(ApiContext& context, const HttpRequest&,
                                   const RouteParams& params, const Identity* identity) {
  return Act(context, params, identity, &oncall::Engine::Escalate, "escalated");
}

HttpResponse ResolveIncidentRoute(ApiContext& context, const HttpRequest&,
                                  const RouteParams& params, const Identity* identity) {
  return Act(context, params, identity, &oncall::Engine::Resolve, "resolved");
}

HttpResponse IncidentEventsRoute(ApiContext& context, const HttpRequest& request,
                                 const RouteParams&, const Identity*) {
  std::optional<std::uint64_t> after;
  HttpResponse response = StartEventStream(request, &after);
  if (!response.stream) return response;
  context.incident_feed->Subscribe(after, response.stream);
  return response;
}

HttpResponse OnCallRoute(ApiContext& context, const HttpRequest&, const RouteParams&,
                         const Identity*) {
  const oncall::OnCallConfig config = context.oncall->engine().Config();
  const oncall::Instant now = Now();
  json schedules = json::array();
  for (const auto& [name, schedule] : config.schedules) {
    json next = json::array();
    for (const oncall::Handoff& handoff :
         oncall::NextHandoffs(schedule, now, kHandoffs, now + kHorizon)) {
      json entry = PersonJson(config, handoff.person);
      if (entry.is_null()) entry = {{"person", nullptr}, {"name", nullptr}};
      entry["at"] = oncall::FormatInstant(handoff.at);
      next.push_back(entry);
    }
    schedules.push_back({{"name", name},
                         {"timezone", schedule.timezone},
                         {"onCall", PersonJson(config, oncall::OnCallAt(schedule, now))},
                         {"next", next},
                         {"feed", "/v1/schedules/" + name + ".ics"}});
  }
  return JsonResponse(200, {{"at", oncall::FormatInstant(now)}, {"schedules", schedules}});
}

HttpResponse ScheduleFeedRoute(ApiContext& context, const HttpRequest&, const RouteParams& params,
                               const Identity*) {
  const std::string& file = params.at("file");
  const std::string name =
      file.size() > 4 && file.ends_with(".ics") ? file.substr(0, file.size() - 4) : "";
  const oncall::OnCallConfig config = context.oncall->engine().Config();
  const auto schedule = config.schedules.find(name);
  if (schedule == config.schedules.end()) {
    return ErrorResponse(404, "there is no schedule feed " + file + " (schedules are NAME.ics)");
  }
  const oncall::Instant now = Now();
  HttpResponse response;
  response.status = 200;
  response.content_type = "text/calendar; charset=utf-8";
  response.body = oncall::ExportIcal(schedule->second, config, now, now + kFeedDays);
  return response;
}

HttpResponse HeartbeatRoute(ApiContext& context, const HttpRequest&, const RouteParams& params,
                            const Identity*) {
  if (!context.oncall->engine().Beat(params.at("name"))) {
    return ErrorResponse(404, "there is no heartbeat \"" + params.at("name") + "\"");
  }
  return JsonResponse(200,
                      {{"heartbeat", params.at("name")}, {"at", oncall::FormatInstant(Now())}});
}

HttpResponse OnCallHeartbeatHook(ApiContext& context, const std::string& name) {
  if (!context.oncall->engine().Beat(name)) {
    return ErrorResponse(404, "there is no heartbeat \"" + name + "\"");
  }
  return JsonResponse(200, {{"route", "heartbeat:" + name},
                            {"status", "firing"},
                            {"groupKey", ""},
                            {"action", "heartbeat"},
                            {"requests", json::array()},
                            {"canceled", json::array()}});
}

HttpResponse OnCallHook(ApiContext& context, const AlertRoute& route, const AlertGroup& group,
                        const std::string& by) {
  oncall::Engine& engine = context.oncall->engine();
  json answer = {{"route", route.name},         {"status", group.status},
                 {"groupKey", group.group_key}, {"policy", route.policy},
                 {"requests", json::array()},   {"canceled", json::array()}};
  try {
    if (group.status == "firing") {
      json labels = json::object();
      for (const auto& [name, value] : group.common_labels) labels[name] = value;
      std::vector<std::string> alerts;
      for (const Alert* alert : group.Current()) alerts.push_back(alert->fingerprint);
      const auto fired = engine.Fire(route.name, route.policy, group.group_key,
                                     route.say.Render(group), labels, alerts);
      answer["action"] = fired.opened ? "incident opened" : "incident updated";
      answer["incident"] = fired.id;
      return JsonResponse(200, answer);
    }
    if (route.resolved == OnResolved::kIgnore) {
      answer["action"] = "ignored";  // the incident stays until someone resolves it
      answer["incident"] = nullptr;
      return JsonResponse(200, answer);
    }
    const auto resolved = engine.ResolveGroup(route.name, group.group_key, by);
    answer["action"] = resolved ? "incident resolved" : "no open incident";
    answer["incident"] = resolved ? json(*resolved) : json(nullptr);
    return JsonResponse(200, answer);
  } catch (const std::exception& e) {
    // The incident could not be saved: Alertmanager tries again.
    return ErrorResponse(503, e.what());
  }
}

}  // namespace ringwell::api
