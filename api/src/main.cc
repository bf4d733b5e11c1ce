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
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "alert_ledger.h"
#include "alert_payload.h"
#include "alert_routes.h"
#include "callback_sender.h"
#include "event_hub.h"
#include "http_server.h"
#include "idempotency.h"
#include "incident_feed.h"
#include "installation_paths.h"
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
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/version.h"
#include "ringwell/setup/plain_words.h"
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

// What to do when the token file or the callback secret cannot be kept.
constexpr char kPathsFix[] =
    "make that folder (the package makes /var/lib/ringwell), give --root DIR (both are then "
    "kept in DIR), or name them with --tokens FILE and CallbackSecretFile";

const CEventLog& ApiLog() {
  static const CEventLog log("ringwell-api", ExecutablePath(), {});
  return log;
}

int Refuse(const std::string& what, const std::string& fix) {
  const std::string line =
      "cannot start: " + setup::PlainWords(what) + (fix.empty() ? "" : "; to fix: " + fix);
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

// Raises the soft limit on open files to the hard one (the packaged unit sets
// LimitNOFILE) and gives the connections what the process can spare: each
// holds a descriptor (an event stream two), and the toolkit, journals, reports
// and uploads need theirs, so a quarter and 256 more are kept back.
unsigned ConnectionLimit(std::size_t addresses) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
    (void)::getrlimit(RLIMIT_NOFILE, &limit);
  }
  const long open_files =
      limit.rlim_cur == RLIM_INFINITY ? 1L << 20 : static_cast<long>(limit.rlim_cur);
  const long spare = open_files - open_files / 4 - 256;
  const long per_address = 2 * static_cast<long>(std::max<std::size_t>(1, addresses));
  return static_cast<unsigned>(std::clamp(spare / per_address, 16L, 16384L));
}

// Uploads left behind by a stop in the middle of one (nothing else is kept
// there).
void RemoveLeftoverUploads(const std::string& directory) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }
}

int Serve(Options options) {
  // The stop signals are taken from a descriptor; every thread (made from
  // here on) inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);  // reloads the routes file
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    return Refuse(std::string("cannot take the stop signals (signalfd): ") + std::strerror(errno),
                  "");
  }
  struct CloseOnReturn {
    int fd;
    ~CloseOnReturn() { ::close(fd); }
  } close_signal_fd{signal_fd};
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
  for (const std::string& dir : {std::string(kEventsDir), std::string(kStatusDir),
                                 std::string(kEventsDir) + "/" + kUploadsDir}) {
    const std::string path = options.root + dir;
    if (!IsDirectory(path) && Failed(MakeDirectory(path, 02770)) && !IsDirectory(path)) {
      return Refuse(path + " does not exist and cannot be made", "ringwell-setup (as root)");
    }
  }
  RemoveLeftoverUploads(options.root + kEventsDir + "/" + kUploadsDir + "/");

  std::string problem;
  TokenAuthenticator tokens(options.token_file);
  if (!tokens.Load(&problem)) return Refuse(problem, kPathsFix);
  std::string secret;
  if (!LoadCallbackSecret(options.callback_secret_file, &secret, &problem)) {
    return Refuse(problem, kPathsFix);
  }
  HttpServer::Settings server_settings;
  server_settings.threads = options.threads;
  server_settings.timeout_s = options.client_timeout_s;
  server_settings.header_timeout_s = options.header_timeout_s;
  server_settings.per_address_limit = options.max_connections_per_address;
  server_settings.connection_limit = ConnectionLimit(options.listen.size());
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
  const SharedRootSettings shared = ReadSharedRootSettings();
  IdempotencyStore idempotency(options.root + kEventsDir + "/idempotency.jsonl");
  if (shared.on) idempotency.ShareRoot();
  idempotency.Load();
  std::unique_ptr<kel::client::RequestIndex> index;
  try {
    index = std::make_unique<kel::client::RequestIndex>(options.root);
  } catch (const std::exception& e) {
    return Refuse(e.what(), "ringwell-setup (as root)");
  }
  // Several instances on one storage root: each answers, one at a time acts
  // on its own (the timers of the incidents, the callbacks), holding the
  // root's API lease; hooks and journals are decided under file locks.
  std::unique_ptr<LeaderLease> leader;
  if (shared.on) {
    leader = std::make_unique<LeaderLease>(
        RoleLease(options.root, "api", kApiLeaseByte, shared),
        [] {
          std::printf("ringwell-api: this instance leads (timers and callbacks)\n");
          std::fflush(stdout);
        },
        [] {
          std::printf("ringwell-api: this instance no longer leads\n");
          std::fflush(stdout);
        });
    std::printf("ringwell-api: shared root, host %s, lease %u s\n", shared.host_id.c_str(),
                shared.lease_seconds);
  }
  EventHub hub(options.root, ApiLog());
  if (shared.on) hub.ShareRoot();
  CallbackSender callbacks(
      options.root, secret,
      {options.callback_timeout, options.callback_retry, options.callback_retry_max,
       options.callback_give_up, 4, options.callback_allow_private},
      hub, metrics, ApiLog());
  callbacks.SetLeader(leader.get());
  hub.OnEvents([&callbacks](const std::string& id, std::uint64_t seq) { callbacks.Wake(id, seq); });
  RequestCounts request_counts(*index);
  ReportWatcher watcher(options.root, hub, *index, &request_counts);
  if (shared.on) watcher.ShareRoot();
  if (!watcher.Start(&problem)) return Refuse(problem, "");
  request_counts.Recount();  // in the background, once the watcher sees every change
  hub.CatchUp();  // what changed while the API was down, once the watcher sees every change
  callbacks.Start();

  AlertRoutes first_routes;
  if (!LoadAlertRoutes(options, &first_routes, &problem)) {
    return Refuse(problem, "correct the routes file (see man ringwell-api)");
  }
  LiveAlertRoutes alert_routes(std::move(first_routes));
  AlertLedger alert_ledger(options.root + kEventsDir + "/alert-groups.json", shared.on);
  if (!alert_ledger.Load(&problem)) ApiLog().ReportText(EventType::kWarning, 1, problem);

  const std::string routes_path =
      options.alert_routes_file.empty() ? kDefaultAlertRoutesFile : options.alert_routes_file;
  IncidentFeed incident_feed(options.root, ApiLog(),
                             shared.on);  // outlives the engine that tells it
  std::unique_ptr<OnCallHost> oncall;
  try {
    oncall = std::make_unique<OnCallHost>(
        options.root, alert_routes,
        ReadOnCallTables(routes_path, !options.alert_routes_file.empty(), *alert_routes.Get()),
        [&index](const std::string& id) { index->Refresh(id); },
        [](const std::string& problem) { ApiLog().ReportText(EventType::kWarning, 1, problem); },
        shared.on);
  } catch (const std::exception& e) {
    return Refuse(e.what(), "correct the routes file (see man ringwell-api)");
  }
  incident_feed.Load(oncall->engine().List());
  oncall->OnChange(
      [&incident_feed](const oncall::Incident& incident) { incident_feed.Publish(incident); });
  oncall->SetLeader(leader.get());
  oncall->Start();
  if (leader) leader->Start();

  const std::string openapi = OpenApiDocument();
  ApiContext context{options,   tokens,  limiter, idempotency,  *index,      hub,
                     callbacks, metrics, openapi, alert_routes, alert_ledger};
  context.oncall = oncall.get();
  context.incident_feed = &incident_feed;
  context.request_counts = &request_counts;
  context.leader = leader.get();
  Router router(context, ApiLog());

  HttpServer server(router, server_settings);
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
  for (;;) {
    ssize_t got = 0;
    while ((got = ::read(signal_fd, &info, sizeof info)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof info)) {
      ApiLog().ReportText(EventType::kError, 1,
                          std::string("ringwell-api: cannot read the stop signals: ") +
                              (got < 0 ? std::strerror(errno) : "a short read") + "; stopping");
      break;
    }
    if (info.ssi_signo != SIGHUP) break;
    // The routes file again, its routes and its on-call tables: all of it
    // or, on any mistake, none (the old tables stay). The incidents and
    // their chains stay as they are.
    try {
      AlertRoutes routes;
      if (!LoadAlertRoutes(options, &routes, &problem)) throw std::runtime_error(problem);
      oncall->Reload(ReadOnCallTables(routes_path, !options.alert_routes_file.empty(), routes));
      alert_routes.Replace(std::move(routes));
      std::printf("ringwell-api: alert routes and on-call tables reloaded from %s\n",
                  routes_path.c_str());
    } catch (const std::exception& e) {
      std::printf("ringwell-api: the routes file was not reloaded (the old tables stay): %s\n",
                  e.what());
      ApiLog().ReportText(EventType::kWarning, 1,
                          std::string("the routes file was not reloaded: ") + e.what());
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
                 "the token file (default: TokenFile of the registry, else ROOT/api-tokens.json "
                 "with --root, else /var/lib/ringwell/api-tokens.json)");
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
  const Options defaults;
  PlaceBesideRoot(&options, app.count("--root") > 0,
                  app.count("--tokens") > 0 || options.token_file != defaults.token_file,
                  options.callback_secret_file != defaults.callback_secret_file);
  FindConsole(&options, app.count("--console") > 0 || options.console_dir != defaults.console_dir);
  if (check) {
    std::vector<std::string> checked;
    auto problems = CheckInstallation(options, &checked);
    if (!registry_read) problems.insert(problems.begin(), {problem, "correct that value"});
    for (const CheckProblem& found : problems) {
      std::printf("problem: %s; to fix: %s\n", setup::PlainWords(found.what).c_str(),
                  found.fix.c_str());
    }
    if (problems.empty()) {
      for (const std::string& line : checked) std::printf("ok: %s\n", line.c_str());
      std::printf("ok: no problems found\n");
    }
    return problems.empty() ? 0 : 1;
  }
  if (!registry_read) {
    std::fprintf(stderr, "ringwell-api: cannot start: %s\n", problem.c_str());
    return 1;
  }
  if (!token.action.empty()) {
    if (const std::string missing = MissingFolder(options.token_file, "token file");
        !missing.empty()) {
      std::fprintf(stderr, "ringwell-api: %s; to fix: %s\n", missing.c_str(), kPathsFix);
      return 1;
    }
    return RunTokenCommand(options.token_file, token);
  }
  const int code = Serve(std::move(options));
  curl_global_cleanup();
  return code;
}
