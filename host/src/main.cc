// ringwell-host: the reference telephony host. It creates the call scheduler
// by its class identifier (the registry must hold libdialqueue.so and
// libtallier.so, registered with ringwell-regsvr), gives it simulated modem
// lines and a simulated pager, and hands it every request file that appears in
// the Requests directory of the storage root, at start and whenever one
// appears. SIGTERM or SIGINT stop it: the scheduler is released (its workers
// finish the call in progress at once and end) and the host exits with 0.
//
//   ringwell-host [--root DIR] [--lines 1,2,...] [--pager-line N | --no-pager]
//                 [--scenario FILE] [--heard-dir DIR] [--pager-log FILE]
//                 [--time-scale SECONDS] [--sip-lines 5,6 --sip-* ...]
//                 [--pager-config FILE] [--dispatch polling|immediate]
//   ringwell-host --help | --version
//
// What the callee at each number does comes from the scenario file (format in
// scenario.h, sample in host/scenario.sample.json); without one every call is
// answered. A simulated second takes --time-scale real seconds (default 0.01).
// With --pager-config the pager is real: it delivers pages through web hooks
// and e-mail as that file says (see src/pager/pager_config.h and
// host/pager.sample.toml). --dispatch immediate hands each due call at once to
// the lowest-numbered free line (for many lines); the default, polling, has
// every line look at the queue on its own schedule. When systemd started it,
// the host reports readiness with sd_notify; it also prints "ringwell-host:
// ready ..." on standard output.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "pager/curl_pager.h"
#include "request_watcher.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/files.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/version.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "ringwell/setup/startup.h"
#include "scenario.h"
#include "sim_line.h"
#include "sim_modem.h"
#include "sim_pager.h"
#include "sip_modem.h"

namespace {

using namespace ringwell;

struct Options {
  std::string root;
  std::vector<int> lines{1};
  int pager_line = 0;
  bool no_pager = false;
  std::string scenario;
  std::string heard_dir;
  std::string pager_log;
  std::string pager_config;
  double time_scale = 0.01;
  host::sip::SipOptions sip;  // the SIP lines, see sip_account.h
  std::string dispatch = "polling";
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "ringwell-host: %s\n", message.c_str());
  return 1;
}

std::string Describe(HRESULT hr) {
  std::string text = ErrorText(hr) + " (" + HexCode(static_cast<std::uint32_t>(hr)) + ")";
  if (auto info = GetErrorInfo(); info && !info->description.empty()) {
    text += ": " + info->description;
  }
  return text;
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

int Run(Options options) {
  using setup::Component;
  const setup::Requirements requirements{.components = {Component::kDialqueue, Component::kTallier},
                                         .prepax_registered = false,
                                         .audio_format_needed = false,
                                         .root = options.root};
  if (!setup::ReadyToStart("ringwell-host", requirements, HostLog())) return 1;
  options.root = setup::ConfiguredRoot(requirements);
  RegisterStorageRoot(options.root);  // nothing below it is reached through a link
  if (options.pager_log.empty()) options.pager_log = options.root + "pager.log";
  if (!options.heard_dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options.heard_dir, ec);
    if (ec) return Fail("cannot make the --heard-dir " + options.heard_dir + ": " + ec.message());
  }

  std::shared_ptr<host::Scenario> scenario;
  try {
    scenario = std::make_shared<host::Scenario>(
        options.scenario.empty() ? host::Scenario() : host::Scenario::Load(options.scenario));
  } catch (const std::exception& e) {
    return Fail(std::string("bad scenario: ") + e.what());
  }

  ComPtr<dialqueue::IPager> pager;
  if (!options.no_pager && !options.pager_config.empty()) {
    try {
      pager = MakeComObject<host::CurlPager>(host::pager::LoadPagerConfig(options.pager_config),
                                             options.pager_log);
    } catch (const std::exception& e) {
      return Fail(std::string("bad pager configuration: ") + e.what());
    }
  }

  // The stop signals are taken from a descriptor; every thread made from here
  // on inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  const UniqueFd signal_fd(signalfd(-1, &stop_signals, SFD_CLOEXEC));
  if (signal_fd.get() < 0) return Fail("cannot watch for signals");

  std::unique_ptr<host::RequestWatcher> watcher;
  try {
    watcher = std::make_unique<host::RequestWatcher>(options.root + kRequestsDir + "/");
  } catch (const std::exception& e) {
    return Fail(e.what());
  }

  ComPtr<dialqueue::IDialqueue> scheduler;
  if (HRESULT hr = CreateInstance(dialqueue::kDialqueueClsid, &scheduler); Failed(hr)) {
    return Fail("cannot create the scheduler: " + Describe(hr));
  }
  if (options.dispatch == "immediate") {
    ComPtr<dialqueue::IDialqueueDispatch> dispatch;
    if (Failed(
            scheduler->QueryInterface(dialqueue::IDialqueueDispatch::kIid, dispatch.PutVoid())) ||
        Failed(dispatch->SetLineDispatch(dialqueue::dqImmediateDispatch))) {
      return Fail("the scheduler offers no immediate dispatch");
    }
  }
  auto time = std::make_shared<host::SimulatedTime>(options.time_scale);
  std::vector<ComPtr<host::SimModem>> modems;
  std::string line_list;
  for (int line : options.lines) {
    modems.push_back(MakeComObject<host::SimModem>(line, scenario, time, options.heard_dir));
    scheduler->AddModem(modems.back().Get(), line);
    line_list += (line_list.empty() ? "" : ",") + std::to_string(line);
  }
  std::unique_ptr<host::sip::SipLines> sip_lines;
  if (!options.sip.lines.empty()) {
    std::string error;
    sip_lines = host::sip::SipLines::Start(std::move(options.sip), &error);
    if (!sip_lines) return Fail(error);
    for (const auto& modem : sip_lines->modems()) {
      scheduler->AddModem(modem.Get(), modem->line());
      line_list += (line_list.empty() ? "sip " : ",sip ") + std::to_string(modem->line());
    }
  }
  if (!options.no_pager) {
    if (!pager) pager = MakeComObject<host::SimPager>(scenario, options.pager_log);
    scheduler->AddPager(pager.Get(), options.pager_line);
  }

  for (const std::string& path : watcher->Existing()) HandOver(*scheduler, path);
  sd_notify(0, "READY=1");
  std::printf("ringwell-host: ready (root %s, lines %s, %s)\n", options.root.c_str(),
              line_list.empty() ? "none" : line_list.c_str(),
              options.no_pager ? "no pager"
                               : ("pager on line " + std::to_string(options.pager_line)).c_str());
  std::fflush(stdout);

  setup::StorageWatch storage("ringwell-host", options.root, HostLog());
  pollfd fds[2] = {{signal_fd.get(), POLLIN, 0}, {watcher->fd(), POLLIN, 0}};
  const nfds_t count = watcher->fd() >= 0 ? 2 : 1;
  for (;;) {
    // At least once a second the host looks at the storage root.
    const int ready = ::poll(fds, count, 1000);
    if (ready < 0 && errno != EINTR) return Fail("poll failed");
    storage.Poll();
    if (fds[0].revents & POLLIN) break;
    for (const std::string& path : watcher->Appeared()) HandOver(*scheduler, path);
  }

  sd_notify(0, "STOPPING=1");
  std::printf("ringwell-host: stopping\n");
  std::fflush(stdout);
  time->Shutdown();  // calls in progress end now
  if (sip_lines) sip_lines->Stop();
  scheduler.Reset();  // stops and joins every worker
  modems.clear();
  pager.Reset();
  sip_lines.reset();
  std::printf("ringwell-host: stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"ringwell-host: reference telephony host with simulated lines and pager"};
  app.add_option("--root", options.root, "storage root (default: RootDir of the registry)");
  app.add_option("--lines", options.lines,
                 "simulated line numbers, e.g. 1,2 (default 1; none with --sip-lines)")
      ->delimiter(',');
  app.add_option("--pager-line", options.pager_line,
                 "line the pager occupies (0: its own, default)");
  app.add_flag("--no-pager", options.no_pager, "run without a pager");
  app.add_option("--scenario", options.scenario, "what the callees do (JSON, see scenario.h)")
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
  app.set_version_flag("--version", std::string("ringwell-host ") + ringwell::kVersion);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "ringwell-host: %s\n%s", e.what(), app.help().c_str());
    return 2;
  }
  // With SIP lines, simulated ones only when asked for.
  if (!options.sip.lines.empty() && app.count("--lines") == 0) options.lines.clear();
  return Run(std::move(options));
}
