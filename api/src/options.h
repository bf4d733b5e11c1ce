// The settings of ringwell-api. Each comes from, in this order of precedence,
// the command line, the registry values under
// [HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell.Api] (so the packaged unit
// needs no command line), and the defaults below:
//
//   Listen = "127.0.0.1:8725"        addresses, separated by blanks or commas;
//                                    "[::1]:8725" for IPv6 (--listen, repeatable)
//   TlsCertificate, TlsKey           PEM files: HTTPS instead of HTTP
//   TokenFile = "/var/lib/ringwell/api-tokens.json"
//   CallbackSecretFile = "/var/lib/ringwell/api-callback.key"  (made if missing)
//   Threads = 4                      server threads per address
//   MaxBodyBytes = 1048576           a request description (413 beyond)
//   MaxUploadBytes = 33554432        a wav file sent to /v1/files
//   RateLimit = 100, RateBurst = 200 requests per second per token (429 beyond)
//   ClientTimeout = 30               seconds a client may stay silent
//   HeaderTimeout = 10               seconds a client has to send a request's
//                                    whole header, however slowly it trickles
//   MaxConnectionsPerAddress = 256   connections open at once per client address
//   MaxStreamsPerToken = 256         event streams open at once per token (429 beyond)
//   MetricsNeedToken = 0             1: /metrics needs a token with the "read" scope
//   ReadyMaxAge = 30                 seconds since prepax and the host were last seen
//   CallbackTimeout = 10             seconds per callback delivery
//   CallbackRetryMillis = 1000       first retry delay, doubled per failure...
//   CallbackRetryMaxSeconds = 300    ...up to this
//   CallbackGiveUpHours = 24         after this a callback event is dropped
//   CallbackAllowPrivate = 0         1: callbacks may go to loopback, link-local
//                                    and private addresses (refused otherwise)
//   ConsoleDir = "<datadir>/ringwell/console"  the web console's files (--console)
//   AlertRoutes = "/etc/ringwell/alert-routes.toml"   the alert receivers' routes
//                                    (see alert_routes.h; the default may be missing)
//
// Thread-safety: a value, read once at start.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ringwell::api {

inline constexpr char kApiConfigKey[] = "SOFTWARE\\Corvane\\Ringwell\\Api";

struct Options {
  std::string root;  // the storage root, ending with "/" (RootDir unless --root)
  std::vector<std::string> listen = {"127.0.0.1:8725"};
  std::string tls_certificate;
  std::string tls_key;
  std::string token_file = "/var/lib/ringwell/api-tokens.json";
  std::string callback_secret_file = "/var/lib/ringwell/api-callback.key";
  unsigned threads = 4;
  std::uint64_t max_body_bytes = 1u << 20;
  std::uint64_t max_upload_bytes = 32u << 20;
  double rate_limit = 100;
  double rate_burst = 200;
  unsigned client_timeout_s = 30;
  unsigned header_timeout_s = 10;
  unsigned max_connections_per_address = 256;
  unsigned max_streams_per_token = 256;
  bool metrics_need_token = false;
  std::chrono::seconds ready_max_age{30};
  std::chrono::seconds callback_timeout{10};
  std::chrono::milliseconds callback_retry{1000};
  std::chrono::seconds callback_retry_max{300};
  std::chrono::hours callback_give_up{24};
  bool callback_allow_private = false;
  std::string console_dir = RINGWELL_CONSOLE_DIR;  // the web console's files, ending with "/"
  std::string alert_routes_file;                   // empty: the default file, which may be missing
};

// The options with the registry's values over the defaults. Fails with a
// sentence naming the value for one of the wrong type or out of range.
bool ReadRegistryOptions(Options* options, std::string* problem);

}  // namespace ringwell::api
