// The routes about the API and the installation: /healthz (the process
// answers), /readyz (the storage root can be written, prepax and the host were
// seen working recently; 503 naming what is not), /metrics (Prometheus text)
// and /v1/openapi.json.
#include "api_context.h"
#include "health.h"
#include "ringwell/common/leader_lease.h"

namespace ringwell::api {

HttpResponse HealthRoute(ApiContext& context, const HttpRequest&, const RouteParams&,
                         const Identity*) {
  // On a shared root: whether this instance runs the timers and callbacks.
  if (context.leader != nullptr) {
    return JsonResponse(200, {{"status", "ok"}, {"leader", context.leader->Held()}});
  }
  return JsonResponse(200, {{"status", "ok"}});
}

HttpResponse ReadyRoute(ApiContext& context, const HttpRequest&, const RouteParams&,
                        const Identity*) {
  const Readiness readiness = CheckReadiness(context.options.root, context.options.ready_max_age);
  return JsonResponse(readiness.ready ? 200 : 503, readiness.body);
}

HttpResponse MetricsRoute(ApiContext& context, const HttpRequest&, const RouteParams&,
                          const Identity*) {
  HttpResponse response;
  response.content_type = "text/plain; version=0.0.4; charset=utf-8";
  response.body =
      context.metrics.Render() + InstallationMetrics(context.options.root, context.request_counts,
                                                     context.options.ready_max_age);
  MetricsText gauges;
  gauges
      .Family("ringwell_event_streams", "gauge",
              "Clients following a request's events (Server-Sent Events).")
      .Sample("ringwell_event_streams", {}, static_cast<std::uint64_t>(context.hub.StreamCount()))
      .Family("ringwell_callback_pending", "gauge",
              "Requests with status callbacks still to deliver.")
      .Sample("ringwell_callback_pending", {},
              static_cast<std::uint64_t>(context.callbacks.Pending()));
  response.body += gauges.text();
  return response;
}

HttpResponse OpenApiRoute(ApiContext& context, const HttpRequest&, const RouteParams&,
                          const Identity*) {
  HttpResponse response;
  response.body = context.openapi;
  return response;
}

}  // namespace ringwell::api
