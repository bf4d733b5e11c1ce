// The routes of ringwell-api and what every request goes through before its
// route: the path and method are matched (404 for an unknown path, 405 with
// Allow for a known path and another method), the bearer token is checked for
// the route's scope (401 without a valid token, 403 without the scope), and
// the token's rate is limited (429 with Retry-After). Every answer is counted
// in the metrics by route pattern, method and code, with its latency.
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
//
// Thread-safety: Handle may be called from any number of threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api_context.h"

namespace ringwell::api {

class Router {
 public:
  explicit Router(ApiContext& context);

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

  ApiContext& context_;
  std::vector<Route> routes_;
};

}  // namespace ringwell::api
