// The alert receivers, /v1/hooks/alertmanager/{route},
// /v1/hooks/grafana/{route} and /v1/hooks/webhook/{route} (a simple JSON alert
// any tool can post, alert_payload.h): a firing notification becomes a call (and a
// page, when the route says so) submitted through the toolkit as any request
// of POST /v1/requests is; the answer comes as soon as the request is
// written. A group whose call is still going is not called again; a resolved
// notification cancels that call, says that the alert is resolved, or is
// ignored, as the route says.
#include <algorithm>
#include <functional>

#include "alert_ledger.h"
#include "alert_payload.h"
#include "alert_routes.h"
#include "api_context.h"
#include "inbox_withdrawal.h"
#include "report_view.h"
#include "request_description.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "thread_toolkit.h"
#include "toolkit.h"

namespace ringwell::api {
namespace {

using kel::client::Failure;
using nlohmann::json;

// Whether the request will change no more (or is gone).
bool Finished(const std::string& root, const std::string& id) {
  if (IsRegularFile(StorageLayout{root}.InboxFile(id))) return false;
  try {
    const auto report = ReadReportOf(root, id);
    return !report || kel::client::IsFinished(report->status);
  } catch (const Failure&) {
    return false;  // unreadable now: taken as still going
  }
}

std::vector<std::string> Unfinished(const std::string& root, const std::vector<std::string>& ids) {
  std::vector<std::string> going;
  for (const std::string& id : ids) {
    if (!Finished(root, id)) going.push_back(id);
  }
  return going;
}

// The submissions of the route's call and page for `text` (those it has), in
// that order (`resolved`: the resolution, without keypad responses); each gives its request's ID or
// throws Failure.
std::vector<std::function<std::string()>> Parts(ApiContext& context, const AlertRoute& route,
                                                const std::string& text, bool resolved = false) {
  std::vector<std::function<std::string()>> parts;
  for (const bool page : {false, true}) {
    if ((page ? route.page : route.numbers).empty()) continue;
    parts.push_back([&context, &route, text, page, resolved] {
      kel::IKelService* service = ThreadService(context.options.root);
      auto built = kel::client::BuildRequest(DescribeRequest(route, text, page, resolved),
                                             {service, OleDateNow(), false, false, true});
      std::string id;
      kel::client::Check(service->SubmitRequest(built.request.Get(), &id), "submitting");
      context.index.Refresh(id);
      return id;
    });
  }
  return parts;
}

// The requests of `ids` that were still going, canceled; one still in Inbox is
// withdrawn before anything of it runs.
std::vector<std::string> Cancel(ApiContext& context, const std::vector<std::string>& ids) {
  kel::IKelService* service = ThreadService(context.options.root);
  std::vector<std::string> canceled;
  for (const std::string& id : ids) {
    if (kel::client::WithdrawFromInbox(context.options.root, id) !=
            kel::client::Withdrawal::kNotInInbox ||
        kel::client::Check(service->CancelRequest(id.c_str()), "canceling") == S_OK) {
      canceled.push_back(id);
    }
  }
  return canceled;
}

HttpResponse Answer(const AlertRoute& route, const AlertGroup& group, const std::string& action,
                    const std::vector<std::string>& requests,
                    const std::vector<std::string>& canceled = {}) {
  return JsonResponse(200, {{"route", route.name},
                            {"status", group.status},
                            {"groupKey", group.group_key},
                            {"action", action},
                            {"requests", requests},
                            {"canceled", canceled}});
}

HttpResponse Receive(ApiContext& context, const HttpRequest& request, const RouteParams& params,
                     AlertSource source) {
  const std::string type = request.Header("Content-Type");
  if (!type.empty() && type.rfind("application/json", 0) != 0) {
    return ErrorResponse(415, "an alert notification is sent as application/json, not " + type);
  }
  if (params.at("route").rfind("heartbeat:", 0) == 0 && context.oncall != nullptr) {
    return OnCallHeartbeatHook(context, params.at("route").substr(10));
  }
  const auto routes = context.alert_routes.Get();  // kept while the route is used
  const auto found = routes->find(params.at("route"));
  if (found == routes->end()) {
    return ErrorResponse(404, "there is no alert route \"" + params.at("route") + "\"");
  }
  const AlertRoute& route = found->second;
  AlertGroup group;
  try {
    group = ParseAlertPayload(request.body, source,
                              route.webhook.key.empty() ? nullptr : &route.webhook);
  } catch (const PayloadMismatch& e) {
    return ErrorResponse(422, e.what());
  } catch (const std::invalid_argument& e) {
    return ErrorResponse(400, e.what());
  }
  const char* sources[] = {"alertmanager/", "grafana/", "webhook/"};
  const char* names[] = {"Alertmanager", "Grafana", "web hook"};
  const auto index = static_cast<std::size_t>(source);
  if (!route.policy.empty() && context.oncall != nullptr) {
    return OnCallHook(context, route, group, names[index]);
  }
  const std::string ledger_route = sources[index] + route.name;
  const std::string& root = context.options.root;
  AlertLedger& ledger = context.alert_ledger;
  const HttpResponse unkept = ErrorResponse(
      503, "the alert ledger cannot be written below " + root + "; nothing was submitted");
  try {
    const auto lock = ledger.Lock(ledger_route, group.group_key);
    AlertLedger::Group known = ledger.Find(ledger_route, group.group_key);
    if (group.status == "firing" && known.firing_incomplete) {
      // An earlier notification failed midway: what it did not make yet.
      if (!ledger.SubmitOnce(ledger_route, group.group_key, known, false,
                             Parts(context, route, route.say.Render(group)))) {
        return unkept;
      }
      return Answer(route, group, "called", known.firing);
    }
    const std::vector<std::string> going = Unfinished(root, known.firing);
    if (group.status == "firing") {
      // A group that changed only because some of its alerts ended has
      // nothing new to call about; a repeat of the same alerts after their
      // call ended is called again.
      std::vector<std::string> alerts;
      bool news = false;
      for (const Alert* alert : group.Current()) {
        if (std::find(alerts.begin(), alerts.end(), alert->fingerprint) == alerts.end()) {
          alerts.push_back(alert->fingerprint);
        }
        news = news || std::find(known.alerts.begin(), known.alerts.end(), alert->fingerprint) ==
                           known.alerts.end();
      }
      if (!going.empty()) {
        // The call going on stands for the alerts that joined the group.
        if (news) {
          for (const std::string& alert : alerts) {
            if (std::find(known.alerts.begin(), known.alerts.end(), alert) == known.alerts.end()) {
              known.alerts.push_back(alert);
            }
          }
          ledger.Store(ledger_route, group.group_key, known);
        }
        return Answer(route, group, "already being called", going);
      }
      if (!news && group.Current().size() != group.alerts.size()) {
        return Answer(route, group, "no new alert", {});
      }
      AlertLedger::Group called;
      called.alerts = alerts;
      if (!ledger.SubmitOnce(ledger_route, group.group_key, called, false,
                             Parts(context, route, route.say.Render(group)))) {
        return unkept;
      }
      return Answer(route, group, "called", called.firing);
    }
    if (route.resolved == OnResolved::kIgnore) return Answer(route, group, "ignored", {});
    const std::vector<std::string> canceled = Cancel(context, going);
    if (route.resolved == OnResolved::kCancel) {
      return Answer(route, group, "canceled", {}, canceled);
    }
    if (known.firing.empty()) return Answer(route, group, "not called", {}, canceled);
    if (!known.resolved.empty() && !known.resolved_incomplete) {
      return Answer(route, group, "already said", known.resolved, canceled);
    }
    if (!ledger.SubmitOnce(ledger_route, group.group_key, known, true,
                           Parts(context, route, route.say_resolved.Render(group), true))) {
      return unkept;
    }
    return Answer(route, group, "said resolved", known.resolved, canceled);
  } catch (const Failure& failure) {
    // A storage root that cannot take the request: Alertmanager tries again.
    return ErrorResponse(503, failure.what());
  }
}

}  // namespace

HttpResponse AlertmanagerHookRoute(ApiContext& context, const HttpRequest& request,
                                   const RouteParams& params, const Identity*) {
  return Receive(context, request, params, AlertSource::kAlertmanager);
}

HttpResponse GrafanaHookRoute(ApiContext& context, const HttpRequest& request,
                              const RouteParams& params, const Identity*) {
  return Receive(context, request, params, AlertSource::kGrafana);
}

HttpResponse WebhookHookRoute(ApiContext& context, const HttpRequest& request,
                              const RouteParams& params, const Identity*) {
  return Receive(context, request, params, AlertSource::kWebhook);
}

}  // namespace ringwell::api
