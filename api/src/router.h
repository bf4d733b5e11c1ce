// The routes of ringwell-api and the gate every request goes through before
// its route, on its headers alone (no byte of its body is read before): the
// path and method are matched (404 for an unknown path, 405 with Allow for a
// known path and another method), the bearer token is checked for the route's
// scope (401 without a valid token, 403 without the scope), and the token's
// rate is limited (429 with Retry-After). 401 answers are limited per client
// address too (429 once an address has had too many), and the event streams
// open at once per token (429 beyond MaxStreamsPerToken). Every answer is
// counted in the metrics by route pattern, method and code, with its latency.
// A route that fails unexpectedly answers 500 with a generic text; what
// failed goes to the event log.
//
//   GET    /healthz                       no token
//   GET    /readyz                        no token
//   GET    /metrics                       no token (MetricsNeedToken=1: read)
//   GET    /v1/openapi.json               any token
//   POST   /v1/requests                   submit
//   GET    /v1/requests                   read
//   GET    /v1/requests/{id}              read
//   DELETE /v1/requests/{id}              cancel
//   GET    /v1/requests/{id}/events       read
//   GET    /v1/requests/{id}/parts        read (the prepared audio's parts)
//   GET    /v1/requests/{id}/parts/{n}.wav read
//   POST   /v1/files                      submit
//   GET    /v1/files                      read
//   DELETE /v1/files/{name}               submit
//   GET    /  and /console/{file}         no token (the web console)
//   POST   /v1/hooks/alertmanager/{route} submit
//   POST   /v1/hooks/grafana/{route}      submit
//   POST   /v1/hooks/webhook/{route}      submit (a simple JSON alert of any tool)
//   GET    /v1/incidents/events           read (the incidents' changes as events)
//
// Thread-safety: Handle may be called from any number of threads at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "api_context.h"
#include "ringwell/common/thread_annotations.h"

namespace ringwell {
class CEventLog;
}

namespace ringwell::api {

// Below the storage root's Events: uploads on their way to the file store.
inline constexpr char kUploadsDir[] = "uploads";

class Router : public HttpGate {
 public:
  // `log` receives what failed behind a 500 answer.
  Router(ApiContext& context, const CEventLog& log);

  Admission Admit(HttpRequest& request) override;
  HttpResponse Answer(HttpRequest& request) override;
  // Admit and, when admitted, Answer (for a request whose body is in).
  HttpResponse Handle(HttpRequest& request);
  // The largest body accepted for a method and path.
  std::uint64_t BodyLimit(const std::string& method, const std::string& path) const;

 private:
  using Handler = HttpResponse (*)(ApiContext&, const HttpRequest&, const RouteParams&,
                                   const Identity*);
  struct Route {
    std::string method;
    std::string pattern;
    const char* scope;  // nullptr: no token; "": any token
    Handler handler;
  };
  static bool Match(const std::string& pattern, const std::string& path, RouteParams* params);
  // The route label of the metrics for a matched request.
  std::string RouteLabel(const HttpRequest& request) const;
  void Count(const HttpRequest& request, const std::string& route, int status);
  // A slot for an event stream of `name`; false when it has all it may have.
  bool TakeStream(const std::string& name);
  void GiveStream(const std::string& name);

  ApiContext& context_;
  const CEventLog& log_;
  std::vector<Route> routes_;
  RateLimiter refusals_;  // 401 answers per client address
  Mutex streams_mutex_;
  // open event streams per token
  std::unordered_map<std::string, unsigned> streams_ RINGWELL_GUARDED_BY(streams_mutex_);
};

}  // namespace ringwell::api
