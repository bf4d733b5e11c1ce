// ringwell-api: the HTTP API of Ringwell. It submits requests through the
// toolkit exactly as `kel submit` does, reads reports and lists requests as
// `kel report --json` and `kel ls --json` show them, cancels, keeps the
// recording store, streams each request's changes (Server-Sent Events) and
// posts them to status callbacks, and tells the installation's health and
// figures (/readyz, /metrics). The routes are listed in router.h, the
// settings (command line and registry) in options.h, the events and callbacks
// in event_hub.h and callback_sender.h.
//
//   ringwell-api [--root DIR] [--listen ADDR:PORT]... [--tls-cert FILE --tls-key FILE]
//                [--tokens FILE] [--routes FILE] [--threads N] [--console DIR]
//   ringwell-api [--tokens FILE] token add NAME --scope submit,read,cancel
//   ringwell-api [--tokens FILE] token list | token revoke NAME
//   ringwell-api --check        (what ringwell-setup --check runs, see self_check.h)
//
// It prints "ringwell-api: listening on http://ADDR:PORT" for every address
// (the port bound, also for port 0) and then "ringwell-api: ready", tells
// systemd it is ready, and stops on SIGTERM or SIGINT: streams end, the
// server threads finish their requests, and it exits with 0. A broken
// configuration is refused at start with one line naming it and its fix,
// and exit code 1.
#include <curl/curl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "alert_ledger.h"
#include "alert_payload.h"
#include "alert_routes.h"
#include "callback_sender.h"
#include "event_hub.h"
#include "http_server.h"
#include "idempotency.h"
#include "listing.h"
#include "metrics.h"
#include "oncall_host.h"
#include "openapi_document.h"
#include "options.h"
#include "rate_limiter.h"
#include "report_watcher.h"
#include "request_description.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/event_log.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/version.h"
#include "ringwell/setup/startup.h"
#include "router.h"
#include "self_check.h"
#include "thread_toolkit.h"
#include "token_auth.h"
#include "token_commands.h"
#include "toolkit.h"

namespace {

using namespace ringwell;
using namespace ringwell::api;

const CEventLog& ApiLog() {
  static const CEventLog log("ringwell-api", ExecutablePath(), {});
  return log;
}

int Refuse(const std::string& what, const std::string& fix) {
  const std::string line = "cannot start: " + what + (fix.empty() ? "" : "; to fix: " + fix);
  std::fprintf(stderr, "ringwell-api: %s\n", line.c_str());
  ApiLog().ReportText(EventType::kError, 1, line);
  return 1;
}

bool ReadPem(const std::string& path, std::string* text, std::string* problem) {
  if (const HRESULT hr = ReadWholeFile(path, text); Failed(hr)) {
    *problem = "cannot read " + path + ": " + ErrorText(hr);
    return false;
  }
  return true;
}

// Reads the alert routes and checks each one by building the requests it
// makes (nothing is written), so that a route that cannot work is found at
// start, not at night.
bool LoadAlertRoutes(const Options& options, AlertRoutes* routes, std::string* problem) {
  const bool given = !options.alert_routes_file.empty();
  const std::string path = given ? options.alert_routes_file : kDefaultAlertRoutesFile;
  try {
    *routes = ReadAlertRoutes(path, given);
    AlertGroup sample;
    sample.status = "firing";
    sample.alerts.push_back({"firing", {{"alertname", "Test"}}, {}, {}});
    kel::IKelService* service = ThreadService(options.root);
    for (const auto& [name, route] : *routes) {
      for (const bool page : {false, true}) {
        if ((page ? route.page : route.numbers).empty()) continue;
        try {
          kel::client::BuildRequest(DescribeRequest(route, route.say.Render(sample), page),
                                    {service, OleDateNow(), false, false, true});
        } catch (const kel::client::Failure& failure) {
          *problem = path + ": [routes." + name + "] " + failure.what();
          return false;
        }
      }
    }
  } catch (const std::exception& e) {
    *problem = e.what();
    return false;
  }
  std::printf("ringwell-api: %zu alert route%s from %s\n", routes->size(),
              routes->size() == 1 ? "" : "s", path.c_str());
  return true;
}

int Serve(Options options) {
  // The stop signals are taken from a descriptor; every thread (made from
  // here on) inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);  // reloads the on-call tables
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  const setup::Requirements requirements{.components = {setup::Component::kKel},
                                         .prepax_registered = false,
                                         .audio_format_needed = false,
                                         .root = options.root};
  if (!setup::ReadyToStart("ringwell-api", requirements, ApiLog())) return 1;
  // Every server thread makes its toolkit objects through these factories,
  // without reading the registry each time.
  if (!kel::client::ServeToolkitInProcess()) {
    return Refuse("the toolkit (libkel.so) cannot be loaded", "ringwell-setup (as root)");
  }
  options.root = setup::ConfiguredRoot(requirements);
  RegisterStorageRoot(options.root);
  for (const char* dir : {kEventsDir, kStatusDir}) {
    const std::string path = options.root + dir;
    if (!IsDirectory(path) && Failed(MakeDirectory(path, 02770)) && !IsDirectory(path)) {
      return Refuse(path + " does not exist and cannot be made", "ringwell-setup (as root)");
    }
  }

  std::string problem;
  TokenAuthenticator tokens(options.token_file);
  if (!tokens.Load(&problem)) return Refuse(problem, "");
  std::string secret;
  if (!LoadCallbackSecret(options.callback_secret_file, &secret, &problem)) {
    return Refuse(problem, "");
  }
  HttpServer::Settings server_settings{options.threads, options.client_timeout_s, {}, {}};
  if (options.tls_certificate.empty() != options.tls_key.empty()) {
    return Refuse("TLS needs both a certificate and its key", "give --tls-cert and --tls-key");
  }
  if (!options.tls_certificate.empty() &&
      (!ReadPem(options.tls_certificate, &server_settings.tls_certificate_pem, &problem) ||
       !ReadPem(options.tls_key, &server_settings.tls_key_pem, &problem))) {
    return Refuse(problem, "");
  }

  Metrics metrics;
  RateLimiter limiter(options.rate_limit, options.rate_burst);
  IdempotencyStore idempotency(options.root + kEventsDir + "/idempotency.jsonl");
  idempotency.Load();
  std::unique_ptr<kel::client::RequestIndex> index;
  try {
    index = std::make_unique<kel::client::RequestIndex>(options.root);
  } catch (const std::exception& e) {
    return Refuse(e.what(), "ringwell-setup (as root)");
  }
  EventHub hub(options.root, ApiLog());
  CallbackSender callbacks(options.root, secret,
                           {options.callback_timeout, options.callback_retry,
                            options.callback_retry_max, options.callback_give_up, 4},
                           hub, metrics, ApiLog());
  hub.OnEvents([&callbacks](const std::string& id) { callbacks.Wake(id); });
  ReportWatcher watcher(options.root, hub, *index);
  if (!watcher.Start(&problem)) return Refuse(problem, "");
  hub.CatchUp();  // what changed while the API was down, once the watcher sees every change
  callbacks.Start();

  AlertRoutes alert_routes;
  if (!LoadAlertRoutes(options, &alert_routes, &problem)) {
    return Refuse(problem, "correct the routes file (see man ringwell-api)");
  }
  AlertLedger alert_ledger(options.root + kEventsDir + "/alert-groups.json");
  if (!alert_ledger.Load(&problem)) ApiLog().ReportText(EventType::kWarning, 1, problem);

  const std::string routes_path =
      options.alert_routes_file.empty() ? kDefaultAlertRoutesFile : options.alert_routes_file;
  std::unique_ptr<OnCallHost> oncall;
  try {
    oncall = std::make_unique<OnCallHost>(
        options.root, alert_routes,
        ReadOnCallTables(routes_path, !options.alert_routes_file.empty(), alert_routes),
        [&index](const std::string& id) { index->Refresh(id); },
        [](const std::string& problem) { ApiLog().ReportText(EventType::kWarning, 1, problem); });
  } catch (const std::exception& e) {
    return Refuse(e.what(), "correct the routes file (see man ringwell-api)");
  }
  oncall->Start();

  const std::string openapi = OpenApiDocument();
  ApiContext context{options,   tokens,  limiter, idempotency,  *index,      hub,
                     callbacks, metrics, openapi, alert_routes, alert_ledger};
  context.oncall = oncall.get();
  Router router(context);

  HttpServer server([&router](HttpRequest& request) { return router.Handle(request); },
                    [&router](const std::string& method, const std::string& path) {
                      return router.BodyLimit(method, path);
                    },
                    server_settings);
  for (const std::string& address : options.listen) {
    if (!server.Listen(address, &problem)) {
      return Refuse(problem, "give a free address with --listen or Listen in the registry");
    }
  }
  const char* scheme = options.tls_certificate.empty() ? "http" : "https";
  for (const std::string& bound : server.bound()) {
    std::printf("ringwell-api: listening on %s://%s\n", scheme, bound.c_str());
  }
  sd_notify(0, "READY=1");
  std::printf("ringwell-api: ready (root %s)\n", options.root.c_str());
  std::fflush(stdout);

  signalfd_siginfo info{};
  struct CloseOnReturn {
    int fd;
    ~CloseOnReturn() { ::close(fd); }
  } close_signal_fd{signal_fd};
  for (;;) {
    if (::read(signal_fd, &info, sizeof info) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (info.ssi_signo != SIGHUP) break;
    // New on-call tables; the incidents and their chains stay as they are.
    try {
      oncall->Reload(
          ReadOnCallTables(routes_path, !options.alert_routes_file.empty(), alert_routes));
      std::printf("ringwell-api: on-call tables reloaded from %s\n", routes_path.c_str());
    } catch (const std::exception& e) {
      std::printf("ringwell-api: on-call tables not reloaded: %s\n", e.what());
      ApiLog().ReportText(EventType::kWarning, 1,
                          std::string("on-call tables not reloaded: ") + e.what());
    }
    std::fflush(stdout);
  }
  sd_notify(0, "STOPPING=1");
  std::printf("ringwell-api: stopping\n");
  std::fflush(stdout);
  server.Stop();
  oncall.reset();
  std::printf("ringwell-api: stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) {
    std::fprintf(stderr, "ringwell-api: libsodium cannot start\n");
    return 1;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  Options options;
  std::string problem;
  const bool registry_read = ReadRegistryOptions(&options, &problem);
  bool check = false;
  CLI::App app{"ringwell-api: the HTTP API of Ringwell (requests, reports, events, files, metrics)",
               "ringwell-api"};
  std::vector<std::string> listen;
  app.add_option("--root", options.root, "storage root (default: RootDir of the registry)");
  app.add_option("--listen", listen,
                 "address to listen on, HOST:PORT or [V6]:PORT; repeatable (default: Listen of "
                 "the registry, else 127.0.0.1:8725)");
  app.add_option("--tls-cert", options.tls_certificate, "PEM certificate: serve HTTPS");
  app.add_option("--tls-key", options.tls_key, "PEM key of --tls-cert");
  app.add_option("--tokens", options.token_file,
                 "the token file (default: TokenFile of the registry, else "
                 "/var/lib/ringwell/api-tokens.json)");
  app.add_option("--console", options.console_dir,
                 "directory of the web console's files (default: ConsoleDir of the registry, "
                 "else " RINGWELL_CONSOLE_DIR ")");
  app.add_option("--routes", options.alert_routes_file,
                 "the alert receivers' routes (default: AlertRoutes of the registry, else " +
                     std::string(kDefaultAlertRoutesFile) + ")");
  app.add_option("--threads", options.threads, "server threads per address")
      ->check(CLI::Range(1, 256));
  app.add_flag("--check", check,
               "list the problems of the API's configuration (and whether it answers), change "
               "nothing");
  TokenCommand token;
  AddTokenCommands(app, token);
  app.set_version_flag("--version", std::string("ringwell-api ") + ringwell::kVersion);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "ringwell-api: %s\n%s", e.what(), app.help().c_str());
    return 2;
  }
  if (!listen.empty()) options.listen = listen;
  if (check) {
    auto problems = CheckInstallation(options);
    if (!registry_read) problems.insert(problems.begin(), {problem, "correct that value"});
    for (const CheckProblem& found : problems) {
      std::printf("problem: %s; to fix: %s\n", found.what.c_str(), found.fix.c_str());
    }
    return problems.empty() ? 0 : 1;
  }
  if (!registry_read) {
    std::fprintf(stderr, "ringwell-api: cannot start: %s\n", problem.c_str());
    return 1;
  }
  if (!token.action.empty()) return RunTokenCommand(options.token_file, token);
  const int code = Serve(std::move(options));
  curl_global_cleanup();
  return code;
}
