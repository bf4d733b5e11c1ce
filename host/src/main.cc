// ringwell-host: the reference telephony host. It creates the call scheduler
// by its class identifier (the registry must hold libdialqueue.so and
// libtallier.so, registered with ringwell-regsvr), gives it its lines
// (simulated modem lines, SIP lines) and a pager (simulated, or real), and
// hands it every request file that appears in the Requests directory of the
// storage root, at start and whenever one appears. SIGTERM or SIGINT stop it:
// the calls in progress end at once, the scheduler is released (its workers
// end), then the lines and the pager, and the host exits with 0.
//
//   ringwell-host [--root DIR] [--lines 1,2,...|1-4] [--pager-line N | --no-pager]
//                 [--simulated-pager]
//                 [--scenario FILE] [--heard-dir DIR] [--pager-log FILE]
//                 [--time-scale SECONDS] [--sip-lines 5,6|1-500 --sip-* ...]
//                 [--pager-config FILE] [--dispatch polling|immediate]
//                 [--machine-detection KEY=VALUE,...]
//   ringwell-host --sip-test NUMBER [--sip-* ...]
//   ringwell-host --help | --version
//
// What the callee at each number does comes from the scenario file (format in
// sim/scenario.h, sample in host/scenario.sample.json); without one every
// call is answered. A simulated second takes --time-scale real seconds (default
// 0.01). With --pager-config the pager is real: it delivers pages through web
// hooks and e-mail as that file says (see src/pager/pager_config.h and
// host/pager.sample.toml). Without it the pager is simulated only beside
// simulated lines or with --simulated-pager; a host with SIP lines alone, or
// with --no-pager, has no pager: every page fails "no pager is configured".
// Everything simulated says so: the ready line, the heartbeat, the results. --dispatch immediate
// hands each due call at once to the lowest-numbered free line (for many lines); the default,
// polling, has every line look at the queue on its own schedule. --machine-detection sets how every
// line tells a person from an answering machine and what it does with a machine
// (ringwell/common/machine_detection.h); a request's own MachineDetection goes over it. When
// systemd started it, the host reports readiness with sd_notify; with SharedRoot = 1 in the
// registry it shares the storage root with hosts on other boxes (docs/scale-out.md): it takes
// shares of requests rather than whole ones, and lists Requests every half second; it also prints
// "ringwell-host: ready ..." on standard output. Every 2 s it writes its heartbeat,
// Status/ringwell-host.json (host_status.h; on a shared root Status/ringwell-host-HOST.json).
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host_status.h"
#include "leftover_requests.h"
#include "line_list_option.h"
#include "pager/curl_pager.h"
#include "pager/no_pager.h"
#include "request_watcher.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/files.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/machine_detection.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/status_file.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/version.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "ringwell/setup/plain_words.h"
#include "ringwell/setup/startup.h"
#include "sim/scenario.h"
#include "sim/sim_modem.h"
#include "sim/sim_pager.h"
#include "sim/simulated_time.h"
#include "sip_modem.h"
#include "sip_test_call.h"

namespace {

using namespace ringwell;

struct Options {
  std::string root;
  std::vector<int> lines{1};
  int pager_line = 0;
  bool no_pager = false;
  bool simulated_pager = false;
  std::string scenario;
  std::string heard_dir;
  std::string pager_log;
  std::string pager_config;
  double time_scale = 0.01;
  host::sip::SipOptions sip;  // the SIP lines, see sip_account.h
  std::string dispatch = "polling";
  MachineDetection detection;
  std::string sip_test;  // --sip-test NUMBER: one call, then exit
  std::string host_id;   // --host-id: this box's name on a shared root
};

// Hosts on several boxes sharing one storage root: the registry's SharedRoot,
// LeaseSeconds and HostId (ringwell/common/leader_lease.h).

// This box's name among the hosts sharing a root: --host-id, else the
// registry's HostId, else the machine's host name.
std::string HostId(const Options& options) {
  if (!options.host_id.empty()) return options.host_id;
  return ReadSharedRootSettings().host_id;
}

void Complain(const std::string& message) {
  std::fprintf(stderr, "ringwell-host: %s\n", message.c_str());
}

int Fail(const std::string& message) {
  Complain(message);
  return 1;
}

std::string Describe(HRESULT hr) {
  std::string text = ErrorText(hr) + " (" + HexCode(static_cast<std::uint32_t>(hr)) + ")";
  if (auto info = GetErrorInfo(); info && !info->description.empty()) {
    text += ": " + info->description;
  }
  return ringwell::setup::PlainWords(text);
}

void HandOver(dialqueue::IDialqueue& scheduler, const std::string& path) {
  if (scheduler.AddRequest(path.c_str()) == S_FALSE) {
    std::fprintf(stderr, "ringwell-host: %s is not a readable request file\n", path.c_str());
  } else {
    std::printf("ringwell-host: handed over %s\n", path.c_str());
  }
  std::fflush(stdout);
}

// The host's own events: refusals at start and a vanished storage root.
const CEventLog& HostLog() {
  static const CEventLog log("ringwell-host", ExecutablePath(), {});
  return log;
}

// The pager the host runs: "real" (--pager-config), "simulated" (beside
// simulated lines, or asked for) or "none".
std::string PagerKind(const Options& options) {
  if (options.no_pager) return "none";
  if (!options.pager_config.empty()) return "real";
  if (options.simulated_pager || !options.lines.empty()) return "simulated";
  return "none";
}

// "simulated pager on line 0", "pager on line 3", "no pager".
std::string DescribePager(const Options& options) {
  const std::string kind = PagerKind(options);
  if (kind == "none") return "no pager (pages fail: no pager is configured)";
  return (kind == "simulated" ? "simulated pager on line " : "pager on line ") +
         std::to_string(options.pager_line);
}

// What the host runs with, once its configuration has been read.
struct Configuration {
  Options options;  // with the storage root and the pager log filled in
  std::shared_ptr<host::Scenario> scenario;
  ComPtr<dialqueue::IPager> real_pager;  // from --pager-config; null: simulated or none
};

// Checks the installation and reads the configuration files; nullopt once
// it has said what is wrong.
std::optional<Configuration> Configure(Options options) {
  using setup::Component;
  if (std::string error;
      !options.sip.lines.empty() && !host::sip::CheckSipUris(options.sip.account, &error)) {
    const std::string line = "cannot start: " + error;
    Complain(line);
    HostLog().ReportText(EventType::kError, 0, line);
    return std::nullopt;
  }
  const setup::Requirements requirements{.components = {Component::kDialqueue, Component::kTallier},
                                         .prepax_registered = false,
                                         .audio_format_needed = false,
                                         .root = options.root};
  if (!setup::ReadyToStart("ringwell-host", requirements, HostLog())) return std::nullopt;
  options.root = setup::ConfiguredRoot(requirements);
  RegisterStorageRoot(options.root);  // nothing below it is reached through a link
  if (options.pager_log.empty()) options.pager_log = options.root + "pager.log";
  if (!options.heard_dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options.heard_dir, ec);
    if (ec) {
      Complain("cannot make the --heard-dir " + options.heard_dir + ": " + ec.message());
      return std::nullopt;
    }
  }

  Configuration config;
  try {
    config.scenario = std::make_shared<host::Scenario>(
        options.scenario.empty() ? host::Scenario() : host::Scenario::Load(options.scenario));
  } catch (const std::exception& e) {
    Complain(std::string("bad scenario: ") + e.what());
    return std::nullopt;
  }
  if (!options.no_pager && !options.pager_config.empty()) {
    try {
      config.real_pager = MakeComObject<host::CurlPager>(
          host::pager::LoadPagerConfig(options.pager_config), options.pager_log);
    } catch (const std::exception& e) {
      Complain(std::string("bad pager configuration: ") + e.what());
      return std::nullopt;
    }
  }
  config.options = std::move(options);
  return config;
}

// Blocks SIGTERM and SIGINT in this thread, and so in every thread made
// from here on, and returns a descriptor that reads them (-1 on failure).
UniqueFd WatchStopSignals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  return UniqueFd(signalfd(-1, &stop_signals, SFD_CLOEXEC));
}

// The scheduler with the lines and the pager it was given.
class Host {
 public:
  Host() = default;
  ~Host() { Shutdown(); }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Creates the scheduler and gives it the simulated lines, the SIP lines
  // and the pager; false once it has said what is wrong (Shutdown then ends
  // what was started).
  bool BuildLines(Configuration& config);

  dialqueue::IDialqueue& scheduler() { return *scheduler_; }
  // Hands the scheduler shares instead of whole requests (hosts sharing
  // the storage root); false once it has said what is wrong.
  bool ShareRequests(const Options& options, const SharedRootSettings& settings);
  // What the heartbeat tells: lines, SIP registration, queue, counts.
  host::HostStatus& status() { return status_; }
  // "1,2,sip 5": the lines, for the ready line.
  const std::string& line_list() const { return line_list_; }

  // Ends everything in the one order that is safe; the destructor does it
  // too, and a second call does nothing.
  void Shutdown() {
    // 1. The calls in progress end now: simulated time stops passing, SIP
    //    calls are cancelled or hung up.
    if (time_) time_->Shutdown();
    if (sip_lines_) sip_lines_->Stop();
    // 2. The scheduler stops and joins its workers: from here on no line
    //    and no pager is called.
    scheduler_.Reset();
    // 3. The devices go, the SIP stack last: its lines used it until now.
    modems_.clear();
    pager_.Reset();
    sip_lines_.reset();
  }

 private:
  // The scheduler is given the devices through the status's counting
  // wrappers: the status outlives it.
  host::HostStatus status_;
  ComPtr<dialqueue::IDialqueue> scheduler_;
  std::shared_ptr<host::SimulatedTime> time_;
  std::vector<ComPtr<host::SimModem>> modems_;
  std::unique_ptr<host::sip::SipLines> sip_lines_;
  ComPtr<dialqueue::IPager> pager_;
  std::string line_list_;
};

bool Host::BuildLines(Configuration& config) {
  Options& options = config.options;
  if (HRESULT hr = CreateInstance(dialqueue::kDialqueueClsid, &scheduler_); Failed(hr)) {
    Complain("cannot create the scheduler: " + Describe(hr));
    return false;
  }
  if (options.dispatch == "immediate") {
    ComPtr<dialqueue::IDialqueueDispatch> dispatch;
    if (Failed(
            scheduler_->QueryInterface(dialqueue::IDialqueueDispatch::kIid, dispatch.PutVoid())) ||
        Failed(dispatch->SetLineDispatch(dialqueue::dqImmediateDispatch))) {
      Complain("the scheduler offers no immediate dispatch");
      return false;
    }
  }
  ComPtr<dialqueue::IDialqueueStatus> queues;
  if (Succeeded(scheduler_->QueryInterface(dialqueue::IDialqueueStatus::kIid, queues.PutVoid()))) {
    status_.SetScheduler(queues);
  }
  time_ = std::make_shared<host::SimulatedTime>(options.time_scale);
  for (int line : options.lines) {
    modems_.push_back(MakeComObject<host::SimModem>(line, config.scenario, time_, options.heard_dir,
                                                    options.detection));
    scheduler_->AddModem(
        status_.CountedModem(ComPtr<dialqueue::IModem>(modems_.back().Get()), line, "sim").Get(),
        line);
    line_list_ += (line_list_.empty() ? "simulated " : ",") + std::to_string(line);
  }
  if (!options.sip.lines.empty()) {
    std::string error;
    options.sip.detection = options.detection;
    sip_lines_ = host::sip::SipLines::Start(std::move(options.sip), &error);
    if (!sip_lines_) {
      Complain(error);
      return false;
    }
    status_.SetRegistration(
        [lines = sip_lines_.get()](std::string* registrar, std::string* detail) {
          return lines->Registration(registrar, detail);
        });
    for (const auto& modem : sip_lines_->modems()) {
      scheduler_->AddModem(
          status_.CountedModem(ComPtr<dialqueue::IModem>(modem.Get()), modem->line(), "sip").Get(),
          modem->line());
      line_list_ += (line_list_.empty() ? "sip " : ",sip ") + std::to_string(modem->line());
    }
  }
  // Without a pager the scheduler still gets one, that fails every page
  // with "no pager is configured": a page request ends in its report.
  const std::string kind = PagerKind(options);
  if (kind == "real") {
    pager_ = std::move(config.real_pager);
  } else if (kind == "simulated") {
    pager_ = MakeComObject<host::SimPager>(config.scenario, options.pager_log);
  } else {
    pager_ = MakeComObject<host::NoPager>();
  }
  scheduler_->AddPager(status_.CountedPager(pager_, options.pager_line, kind).Get(),
                       options.pager_line);
  return true;
}

bool Host::ShareRequests(const Options& options, const SharedRootSettings& settings) {
  ComPtr<dialqueue::IDialqueueShares> shares;
  const std::string requests = options.root + kRequestsDir + "/";
  HRESULT hr = scheduler_->QueryInterface(dialqueue::IDialqueueShares::kIid, shares.PutVoid());
  if (Succeeded(hr)) {
    hr = shares->ShareRequests(requests.c_str(), HostId(options).c_str(),
                               static_cast<std::int32_t>(settings.lease_seconds));
  }
  if (Failed(hr)) {
    Complain("cannot share the storage root: " + Describe(hr));
    return false;
  }
  std::printf("ringwell-host: shared root, host %s, lease %u s\n", HostId(options).c_str(),
              settings.lease_seconds);
  return true;
}

// Hands the scheduler every request file, those there now and each one that
// appears, and looks at the storage root at least once a second, until a
// stop signal arrives on `stop_signals`. On a shared root the directory is
// listed on every pass (inotify sees only what this machine changed). 0, or 1
// when waiting fails.
int Serve(Host& host, const Options& options, int stop_signals, host::RequestWatcher& watcher,
          bool shared) {
  // The audio of requests canceled (also before a restart) goes once no
  // line plays it: at the start and every ten seconds.
  const auto remove_leftovers = [&] {
    host::RemoveLeftoverRequestDirectories(
        options.root, [&](const std::string& dir) { return host.status().Plays(dir); });
  };
  remove_leftovers();
  std::set<std::string> handed;  // shared root: the files handed over so far
  auto next_sweep = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (const std::string& path : watcher.Existing()) HandOver(host.scheduler(), path);
  // The heartbeat that /readyz and ringwell-setup --check read; it says
  // "stopped" when Serve returns.
  // On a shared root each box writes its own (Status/ringwell-host-HOST.json).
  status_file::Heartbeat heartbeat(
      options.root, "ringwell-host", std::chrono::seconds(2),
      [&host] { return host.status().Details(); }, shared ? HostId(options) : std::string());
  sd_notify(0, "READY=1");
  const std::string& lines = host.line_list();
  std::printf("ringwell-host: ready (root %s, lines %s, %s)\n", options.root.c_str(),
              lines.empty() ? "none" : lines.c_str(), DescribePager(options).c_str());
  std::fflush(stdout);

  setup::StorageWatch storage("ringwell-host", options.root, HostLog());
  pollfd fds[2] = {{stop_signals, POLLIN, 0}, {watcher.fd(), POLLIN, 0}};
  const nfds_t count = watcher.fd() >= 0 && !shared ? 2 : 1;
  for (;;) {
    const int ready = ::poll(fds, count, shared ? 500 : 1000);
    if (ready < 0 && errno != EINTR) return Fail("poll failed");
    storage.Poll();
    if (fds[0].revents & POLLIN) break;
    if (shared) {
      // Handing a file over again is harmless; each is told once.
      for (const std::string& path : watcher.Existing()) {
        if (host.scheduler().AddRequest(path.c_str()) == S_OK && handed.insert(path).second) {
          std::printf("ringwell-host: handed over %s\n", path.c_str());
          std::fflush(stdout);
        }
      }
      if (handed.size() > 100'000) handed.clear();
      continue;
    }
    for (const std::string& path : watcher.Appeared()) HandOver(host.scheduler(), path);
    if (std::chrono::steady_clock::now() >= next_sweep) {
      remove_leftovers();
      next_sweep = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    }
  }
  sd_notify(0, "STOPPING=1");
  std::printf("ringwell-host: stopping\n");
  std::fflush(stdout);
  return 0;
}

// Configure, build the lines, serve, shut down in order.
int Run(Options options) {
  std::optional<Configuration> config = Configure(std::move(options));
  if (!config) return 1;
  // Before any thread is made: the scheduler's workers and the SIP stack's
  // loop must not take the stop signals.
  const UniqueFd stop_signals = WatchStopSignals();
  if (stop_signals.get() < 0) return Fail("cannot watch for signals");
  std::unique_ptr<host::RequestWatcher> watcher;
  try {
    watcher = std::make_unique<host::RequestWatcher>(config->options.root + kRequestsDir + "/");
  } catch (const std::exception& e) {
    return Fail(e.what());
  }

  Host host;
  if (!host.BuildLines(*config)) return 1;
  const SharedRootSettings shared = ReadSharedRootSettings();
  if (shared.on && !host.ShareRequests(config->options, shared)) return 1;
  const int status = Serve(host, config->options, stop_signals.get(), *watcher, shared.on);
  host.Shutdown();
  if (status == 0) std::printf("ringwell-host: stopped\n");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A bounded number of allocator arenas. glibc gives contending threads up to
  // eight arenas per core, each keeping the memory freed in it, so with
  // hundreds of line threads the host's size would grow with its lines rather
  // than with its work. Set here rather than in the unit, so that it holds
  // however the host is started; MALLOC_ARENA_MAX still overrides it.
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) mallopt(M_ARENA_MAX, 4);
  Options options;
  CLI::App app{"ringwell-host: reference telephony host with simulated lines and pager",
               "ringwell-host"};
  app.add_option("--root", options.root, "storage root (default: RootDir of the registry)");
  host::AddLineListOption(app, "--lines", &options.lines,
                          "simulated line numbers, e.g. 1,2 or 1-4,7 (default 1; none with "
                          "--sip-lines)");
  app.add_option("--pager-line", options.pager_line,
                 "line the pager occupies (0: its own, default)");
  app.add_flag("--no-pager", options.no_pager,
               "run without a pager: every page fails \"no pager is configured\"");
  app.add_flag("--simulated-pager", options.simulated_pager,
               "a simulated pager (sends nothing, reports \"Sent\") even beside SIP lines only; "
               "without --pager-config the pager is simulated only beside simulated lines");
  app.add_option("--scenario", options.scenario,
                 "what the callees do (JSON, see SCENARIO in ringwell-host(8))")
      ->check(CLI::ExistingFile);
  app.add_option("--heard-dir", options.heard_dir,
                 "write what each callee heard as a wav file into this directory (made if "
                 "missing)");
  app.add_option("--pager-log", options.pager_log, "log of sent pages (default ROOT/pager.log)");
  app.add_option("--pager-config", options.pager_config,
                 "deliver pages through web hooks and e-mail as this TOML file says")
      ->check(CLI::ExistingFile);
  app.add_option("--time-scale", options.time_scale,
                 "real seconds a simulated second takes (default 0.01)")
      ->check(CLI::NonNegativeNumber);
  host::sip::AddSipOptions(app, options.sip);
  app.add_option("--dispatch", options.dispatch,
                 "how lines get their calls: polling (default) or immediate")
      ->check(CLI::IsMember({"polling", "immediate"}));
  app.add_option_function<std::string>(
         "--machine-detection",
         [&options](const std::string& text) {
           std::string error;
           if (!ApplyMachineDetection(text, &options.detection, &error)) {
             throw CLI::ValidationError("--machine-detection", error);
           }
         },
         "answering-machine detection: KEY=VALUE,... (machine=leave-message|hangup-and-retry|"
         "play, initialSilence, greeting, afterGreetingSilence, totalAnalysisTime, "
         "minimumWordLength, betweenWordsSilence, maximumNumberOfWords, maximumWordLength, "
         "beep=true|false)")
      ->type_name("SETTINGS");
  app.add_option("--sip-test", options.sip_test,
                 "place one call to NUMBER on the configured SIP account (the --sip-* options), "
                 "play a short tone when it is answered, say what happened (answered, busy, no "
                 "answer, refused with the SIP reply, registration failed) and exit: 0 only when "
                 "the call was answered")
      ->type_name("NUMBER");
  app.add_option("--host-id", options.host_id,
                 "this box's name among the hosts sharing the storage root (registry SharedRoot "
                 "= 1; default: the machine's host name)")
      ->type_name("NAME");
  app.set_version_flag("--version", std::string("ringwell-host ") + ringwell::kVersion);
  app.footer(
      "SIP URIs: --sip-registrar, --sip-proxy and --sip-uri must be sip: or sips: URIs with a\n"
      "host (--sip-registrar sip:pbx.example.com, --sip-uri 'sip:{number}@pbx.example.com');\n"
      "another value is refused at start, naming the option and the value. With a registrar\n"
      "the host prints \"ringwell-host: registered at URI as AOR\" or \"ringwell-host:\n"
      "registration failed: CODE REASON\" (\"timeout (no reply)\" when none comes), logs it,\n"
      "and tells it in its heartbeat; while it has failed, calls fail with that reason.\n"
      "--sip-test NUMBER prints \"test call to NUMBER: OUTCOME\", OUTCOME being answered (by\n"
      "whom, how long), busy (486 Busy Here), no answer (487 ...), refused: CODE REASON,\n"
      "registration failed: REASON or failed: REASON, then the call's protocol.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "ringwell-host: %s\n%s", e.what(), app.help().c_str());
    return 2;
  }
  if (!options.sip_test.empty()) {
    if (std::string error; !host::sip::CheckSipUris(options.sip.account, &error)) {
      return Fail(error);
    }
    return host::sip::RunSipTest(std::move(options.sip), options.sip_test);
  }
  // With SIP lines, simulated ones only when asked for.
  if (!options.sip.lines.empty() && app.count("--lines") == 0) options.lines.clear();
  return Run(std::move(options));
}
