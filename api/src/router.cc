#include "router.h"

#include <chrono>

namespace ringwell::api {
namespace {

std::vector<std::string> Segments(const std::string& path) {
  std::vector<std::string> segments;
  std::string segment;
  for (const char c : path + "/") {
    if (c == '/') {
      if (!segment.empty()) segments.push_back(std::move(segment));
      segment.clear();
    } else {
      segment += c;
    }
  }
  return segments;
}

std::string BearerToken(const HttpRequest& request) {
  const std::string header = request.Header("Authorization");
  if (header.size() < 7 || !EqualsIgnoringCase(header.substr(0, 7), "Bearer ")) return {};
  return std::string(Trim(std::string_view(header).substr(7)));
}

}  // namespace

Router::Router(ApiContext& context) : context_(context) {
  const char* metrics_scope = context.options.metrics_need_token ? "read" : nullptr;
  routes_ = {
      {"GET", "/healthz", nullptr, &HealthRoute},
      {"GET", "/readyz", nullptr, &ReadyRoute},
      {"GET", "/metrics", metrics_scope, &MetricsRoute},
      {"GET", "/v1/openapi.json", "", &OpenApiRoute},
      {"POST", "/v1/requests", "submit", &SubmitRequestRoute},
      {"GET", "/v1/requests", "read", &ListRequestsRoute},
      {"GET", "/v1/requests/{id}", "read", &GetRequestRoute},
      {"DELETE", "/v1/requests/{id}", "cancel", &CancelRequestRoute},
      {"GET", "/v1/requests/{id}/events", "read", &RequestEventsRoute},
      {"GET", "/v1/requests/{id}/parts", "read", &RequestPartsRoute},
      {"GET", "/v1/requests/{id}/parts/{part}", "read", &RequestPartAudioRoute},
      {"POST", "/v1/files", "submit", &StoreFileRoute},
      {"GET", "/v1/files", "read", &ListFilesRoute},
      {"DELETE", "/v1/files/{name}", "submit", &DeleteFileRoute},
      {"GET", "/", nullptr, &ConsolePageRoute},
      {"GET", "/console/{file}", nullptr, &ConsoleFileRoute},
      {"POST", "/v1/hooks/alertmanager/{route}", "submit", &AlertmanagerHookRoute},
      {"POST", "/v1/hooks/grafana/{route}", "submit", &GrafanaHookRoute},
      // On call.
      {"GET", "/v1/incidents", "read", &ListIncidentsRoute},
      {"GET", "/v1/incidents/{id}", "read", &GetIncidentRoute},
      {"POST", "/v1/incidents/{id}/acknowledge", "respond", &AcknowledgeIncidentRoute},
      {"POST", "/v1/incidents/{id}/escalate", "respond", &EscalateIncidentRoute},
      {"POST", "/v1/incidents/{id}/resolve", "respond", &ResolveIncidentRoute},
      {"GET", "/v1/oncall", "read", &OnCallRoute},
      {"GET", "/v1/schedules/{file}", "read", &ScheduleFeedRoute},
      {"POST", "/v1/heartbeats/{name}", "submit", &HeartbeatRoute},
  };
}

bool Router::Match(const std::string& pattern, const std::string& path, RouteParams* params) {
  const auto want = Segments(pattern);
  const auto have = Segments(path);
  if (want.size() != have.size()) return false;
  RouteParams found;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (want[i].front() == '{') {
      found[want[i].substr(1, want[i].size() - 2)] = have[i];
    } else if (want[i] != have[i]) {
      return false;
    }
  }
  *params = std::move(found);
  return true;
}

std::uint64_t Router::BodyLimit(const std::string& method, const std::string& path) const {
  if (method == "POST" && Segments(path) == std::vector<std::string>{"v1", "files"}) {
    return context_.options.max_upload_bytes;
  }
  return context_.options.max_body_bytes;
}

HttpResponse Router::Handle(HttpRequest& request) {
  const auto started = std::chrono::steady_clock::now();
  std::string pattern = "other";
  HttpResponse response;
  [&] {
    std::string allowed;
    for (const Route& route : routes_) {
      RouteParams params;
      if (!Match(route.pattern, request.path, &params)) continue;
      if (route.method != request.method) {
        allowed += (allowed.empty() ? "" : ", ") + route.method;
        continue;
      }
      pattern = route.pattern;
      std::optional<Identity> identity;
      if (route.scope != nullptr) {
        const std::string token = BearerToken(request);
        if (token.empty() || !(identity = context_.tokens.Verify(token))) {
          response = ErrorResponse(
              401, token.empty() ? "a bearer token is needed" : "the bearer token is not valid");
          response.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"ringwell\"");
          return;
        }
        if (*route.scope != '\0' && !identity->Has(route.scope)) {
          response = ErrorResponse(403, "the token " + identity->name + " lacks the scope \"" +
                                            std::string(route.scope) + "\"");
          return;
        }
        int retry_after = 0;
        if (!context_.limiter.Admit(identity->name, &retry_after)) {
          response = ErrorResponse(429, "too many requests with the token " + identity->name);
          response.headers.emplace_back("Retry-After", std::to_string(retry_after));
          return;
        }
      }
      try {
        response = route.handler(context_, request, params, identity ? &*identity : nullptr);
      } catch (const std::bad_alloc&) {
        response = ErrorResponse(503, "out of memory");
      } catch (const std::exception& e) {
        response = ErrorResponse(500, e.what());
      }
      return;
    }
    if (!allowed.empty()) {
      response = ErrorResponse(405, request.method + " is not allowed here (" + allowed + ")");
      response.headers.emplace_back("Allow", allowed);
      return;
    }
    response = ErrorResponse(404, "there is nothing at " + request.path);
  }();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  context_.metrics.ObserveRequest(pattern, request.method, response.status, seconds);
  return response;
}

}  // namespace ringwell::api
