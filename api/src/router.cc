#include "router.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "ringwell/common/event_log.h"
#include "ringwell/common/storage.h"

namespace ringwell::api {
namespace {

// 401 answers per client address: a burst, then one every half second.
constexpr double kRefusalRate = 2;
constexpr double kRefusalBurst = 30;

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

// The segment of `text` that starts at or after `*at` (slashes skipped, so
// "//a/" is as "/a"), moving `*at` past it; empty at the end.
std::string_view NextSegment(std::string_view text, std::size_t* at) {
  while (*at < text.size() && text[*at] == '/') ++*at;
  const std::size_t start = *at;
  while (*at < text.size() && text[*at] != '/') ++*at;
  return text.substr(start, *at - start);
}

std::string BearerToken(const HttpRequest& request) {
  const std::string header = request.Header("Authorization");
  if (header.size() < 7 || !EqualsIgnoringCase(header.substr(0, 7), "Bearer ")) return {};
  return std::string(Trim(std::string_view(header).substr(7)));
}

// Whether the process can still open a file: a descriptor is borrowed and
// given back at once.
bool DescriptorsLeft() {
  const int probe = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
  if (probe < 0) return errno != EMFILE && errno != ENFILE;
  ::close(probe);
  return true;
}

}  // namespace

Router::Router(ApiContext& context, const CEventLog& log)
    : context_(context), log_(log), refusals_(kRefusalRate, kRefusalBurst) {
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
      {"POST", "/v1/hooks/webhook/{route}", "submit", &WebhookHookRoute},
      {"GET", "/v1/hooks/routes", "read", &AlertRoutesRoute},
      // On call.
      {"GET", "/v1/incidents", "read", &ListIncidentsRoute},
      {"GET", "/v1/incidents/events", "read", &IncidentEventsRoute},  // before {id}
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
  // Segment by segment, copying nothing: every request is matched against
  // every route, and most routes differ in the first segments.
  RouteParams found;
  std::size_t at_want = 0;
  std::size_t at_have = 0;
  for (;;) {
    const std::string_view want = NextSegment(pattern, &at_want);
    const std::string_view have = NextSegment(path, &at_have);
    if (want.empty() || have.empty()) {
      if (!want.empty() || !have.empty()) return false;
      break;
    }
    if (want.front() == '{') {
      found[std::string(want.substr(1, want.size() - 2))] = std::string(have);
    } else if (want != have) {
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

std::string Router::RouteLabel(const HttpRequest& request) const {
  if (request.route < 0) return "other";
  const Route& route = routes_[static_cast<std::size_t>(request.route)];
  // An alert hook is told by its alert route's name, when it is one of the
  // routes configured (any other name is the client's to choose).
  const auto name = request.params.find("route");
  if (route.pattern.rfind("/v1/hooks/", 0) == 0 && name != request.params.end() &&
      context_.alert_routes.Get()->count(name->second) != 0) {
    return route.pattern.substr(0, route.pattern.size() - 7) + name->second;
  }
  return route.pattern;
}

void Router::Count(const HttpRequest& request, const std::string& route, int status) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - request.arrived).count();
  context_.metrics.ObserveRequest(route, request.method, status, seconds);
}

bool Router::TakeStream(const std::string& name) {
  MutexLock lock(streams_mutex_);
  unsigned& open = streams_[name];
  if (open >= context_.options.max_streams_per_token) return false;
  ++open;
  return true;
}

void Router::GiveStream(const std::string& name) {
  MutexLock lock(streams_mutex_);
  const auto known = streams_.find(name);
  if (known != streams_.end() && --known->second == 0) streams_.erase(known);
}

Admission Router::Admit(HttpRequest& request) {
  if (request.arrived == std::chrono::steady_clock::time_point{}) {
    request.arrived = std::chrono::steady_clock::now();
  }
  Admission admission;
  const auto refuse = [&](HttpResponse response) {
    Count(request, RouteLabel(request), response.status);
    admission.refusal = std::move(response);
    return admission;
  };
  std::string allowed;
  for (std::size_t i = 0; i < routes_.size(); ++i) {
    const Route& route = routes_[i];
    RouteParams params;
    if (!Match(route.pattern, request.path, &params)) continue;
    if (route.method != request.method) {
      // Two patterns may match one path ("/v1/incidents/events" and "/v1/incidents/{id}"):
      // each method is named once.
      if ((", " + allowed + ", ").find(", " + route.method + ", ") == std::string::npos) {
        allowed += (allowed.empty() ? "" : ", ") + route.method;
      }
      continue;
    }
    request.route = static_cast<int>(i);
    request.params = std::move(params);
    if (route.scope != nullptr) {
      int retry_after = 0;
      const std::string& address = request.client_address;
      if (!refusals_.Allows(address, &retry_after)) {
        HttpResponse response =
            ErrorResponse(429, "too many requests without a valid token from " + address);
        response.headers.emplace_back("Retry-After", std::to_string(retry_after));
        return refuse(std::move(response));
      }
      const std::string token = BearerToken(request);
      if (token.empty() || !(request.identity = context_.tokens.Verify(token))) {
        refusals_.Charge(address);
        HttpResponse response = ErrorResponse(
            401, token.empty() ? "a bearer token is needed" : "the bearer token is not valid");
        response.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"ringwell\"");
        return refuse(std::move(response));
      }
      const Identity& identity = *request.identity;
      if (*route.scope != '\0' && !identity.Has(route.scope)) {
        return refuse(ErrorResponse(403, "the token " + identity.name + " lacks the scope \"" +
                                             std::string(route.scope) + "\""));
      }
      if (!context_.limiter.Admit(identity.name, &retry_after)) {
        HttpResponse response =
            ErrorResponse(429, "too many requests with the token " + identity.name);
        response.headers.emplace_back("Retry-After", std::to_string(retry_after));
        return refuse(std::move(response));
      }
    }
    admission.body_limit = BodyLimit(request.method, request.path);
    if (route.handler == &StoreFileRoute) {
      admission.upload_directory = context_.options.root + kEventsDir + "/" + kUploadsDir + "/";
      admission.form_fields = {"overwrite"};
    }
    return admission;
  }
  if (!allowed.empty()) {
    HttpResponse response =
        ErrorResponse(405, request.method + " is not allowed here (" + allowed + ")");
    response.headers.emplace_back("Allow", allowed);
    return refuse(std::move(response));
  }
  return refuse(ErrorResponse(404, "there is nothing at " + request.path));
}

HttpResponse Router::Answer(HttpRequest& request) {
  const Route& route = routes_.at(static_cast<std::size_t>(request.route));
  const Identity* identity = request.identity ? &*request.identity : nullptr;
  HttpResponse response;
  const bool stream =
      (route.handler == &RequestEventsRoute || route.handler == &IncidentEventsRoute) &&
      identity != nullptr;
  if (stream && !TakeStream(identity->name)) {
    response = ErrorResponse(429, "the token " + identity->name + " has " +
                                      std::to_string(context_.options.max_streams_per_token) +
                                      " event streams open already");
    response.headers.emplace_back("Retry-After", "1");
  } else if (!DescriptorsLeft()) {
    response = ErrorResponse(503, "the API has no file descriptor left; try again");
    response.headers.emplace_back("Retry-After", "1");
  } else {
    try {
      response = route.handler(context_, request, request.params, identity);
    } catch (const std::bad_alloc&) {
      response = ErrorResponse(503, "out of memory");
    } catch (const std::exception& e) {
      log_.ReportText(
          EventType::kError, 1,
          "ringwell-api: " + request.method + " " + request.path + " failed: " + e.what());
      response = ErrorResponse(500, "an internal error occurred; the event log tells more");
    } catch (...) {
      log_.ReportText(EventType::kError, 1,
                      "ringwell-api: " + request.method + " " + request.path +
                          " failed with an unknown exception");
      response = ErrorResponse(500, "an internal error occurred; the event log tells more");
    }
    // A request that is not found because no file could be opened is not
    // missing.
    if (response.status == 404 && !DescriptorsLeft()) {
      response = ErrorResponse(503, "the API has no file descriptor left; try again");
      response.headers.emplace_back("Retry-After", "1");
    }
    if (stream) {
      if (response.stream) {
        response.stream->OnClose([this, name = identity->name] { GiveStream(name); });
      } else {
        GiveStream(identity->name);
      }
    }
  }
  Count(request, RouteLabel(request), response.status);
  return response;
}

HttpResponse Router::Handle(HttpRequest& request) {
  Admission admission = Admit(request);
  if (admission.refusal) return std::move(*admission.refusal);
  if (request.body.size() > admission.body_limit) {
    return ErrorResponse(
        413, "the body is larger than " + std::to_string(admission.body_limit) + " bytes");
  }
  return Answer(request);
}

}  // namespace ringwell::api
