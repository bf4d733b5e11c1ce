// Everything the routes of ringwell-api share: the settings, the token check,
// the rate limiter, the Idempotency-Key store, the listing index, the events
// and callbacks, the metrics and the OpenAPI document. Made once at start and
// kept until the server stopped.
//
// Thread-safety: each member is safe to use from any thread (see its header).
#pragma once

#include <map>
#include <string>

#include "alert_ledger.h"
#include "alert_routes.h"
#include "callback_sender.h"
#include "event_hub.h"
#include "http_types.h"
#include "idempotency.h"
#include "listing.h"
#include "metrics.h"
#include "options.h"
#include "rate_limiter.h"
#include "request_counts.h"
#include "token_auth.h"

namespace ringwell {
class LeaderLease;  // ringwell/common/leader_lease.h
}

namespace ringwell::api {

class OnCallHost;    // oncall_host.h
class IncidentFeed;  // incident_feed.h

struct ApiContext {
  const Options& options;
  TokenAuthenticator& tokens;
  RateLimiter& limiter;
  IdempotencyStore& idempotency;
  kel::client::RequestIndex& index;
  EventHub& hub;
  CallbackSender& callbacks;
  Metrics& metrics;
  const std::string& openapi;     // the document served at /v1/openapi.json
  LiveAlertRoutes& alert_routes;  // replaced on SIGHUP
  AlertLedger& alert_ledger;
  OnCallHost* oncall = nullptr;             // the on-call engine (oncall_host.h), set when serving
  IncidentFeed* incident_feed = nullptr;    // the incidents' events, set when serving
  RequestCounts* request_counts = nullptr;  // requests by status for /metrics, set when serving
  const LeaderLease* leader = nullptr;      // on a shared root: the timers' and callbacks' lease
};

// The parts of a route's path that stand for a value ("{id}" -> "...").
using RouteParams = std::map<std::string, std::string>;

// The routes, each given the context, the request, its path values and the
// caller's identity (null for a route that needs no token).
HttpResponse SubmitRequestRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                const Identity*);
HttpResponse ListRequestsRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                               const Identity*);
HttpResponse GetRequestRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse CancelRequestRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                const Identity*);
HttpResponse RequestEventsRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                const Identity*);
HttpResponse StoreFileRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse ListFilesRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse DeleteFileRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse HealthRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse ReadyRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse MetricsRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse RequestPartsRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                               const Identity*);
HttpResponse RequestPartAudioRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                   const Identity*);
HttpResponse ConsolePageRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse ConsoleFileRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse OpenApiRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse AlertmanagerHookRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                   const Identity*);
HttpResponse GrafanaHookRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse WebhookHookRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse AlertRoutesRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);

// On call (oncall_routes.cc).
HttpResponse ListIncidentsRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                const Identity*);
HttpResponse GetIncidentRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse AcknowledgeIncidentRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                      const Identity*);
HttpResponse EscalateIncidentRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                   const Identity*);
HttpResponse ResolveIncidentRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                  const Identity*);
HttpResponse IncidentEventsRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                                 const Identity*);
HttpResponse OnCallRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
HttpResponse ScheduleFeedRoute(ApiContext&, const HttpRequest&, const RouteParams&,
                               const Identity*);
HttpResponse HeartbeatRoute(ApiContext&, const HttpRequest&, const RouteParams&, const Identity*);
// A group on a route with an escalation policy: opens, adds to or resolves
// its incident.
struct AlertGroup;
// `by` is who resolves it ("Alertmanager", "Grafana", "web hook").
HttpResponse OnCallHook(ApiContext&, const AlertRoute&, const AlertGroup&, const std::string& by);
// /v1/hooks/alertmanager/heartbeat:NAME: any notification (Alertmanager's
// always-firing Watchdog) is a beat of heartbeat NAME.
HttpResponse OnCallHeartbeatHook(ApiContext&, const std::string& name);

}  // namespace ringwell::api
