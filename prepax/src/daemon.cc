#include "daemon.h"

#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "identifiers.h"
#include "prepax_log.h"
#include "prepax_service.h"
#include "registration.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/event_log.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/status_file.h"
#include "ringwell/setup/startup.h"
#include "speech.h"  // CSpeech
#include "worker_pool.h"

namespace ringwell::prepax {
namespace {

// A module message: an informational event with identifier 0 when running as
// a service, a line on standard output otherwise.
void ModuleMessage(bool as_service, const char* text) {
  if (as_service) {
    static const CEventLog log(kServiceName, ExecutablePath(), {});
    log.ReportText(EventType::kInformation, 0, text);
  } else {
    std::printf("%s\n", text);
    std::fflush(stdout);
  }
}

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, signal);
  return set;
}

// The heartbeat of the daemon, Status/prepax.json (status_file.h; on a shared
// root each box's, Status/prepax-HOST.json), written by the process that
// speaks for it from its own loop (no thread: the supervisor forks its
// workers) every couple of seconds, and once more when it stops.
class PrepaxHeartbeat {
 public:
  explicit PrepaxHeartbeat(unsigned workers)
      : root_(setup::ConfiguredRoot({})),
        host_(BoxName()),
        started_(std::chrono::system_clock::now()),
        workers_(workers) {
    Beat();
  }
  ~PrepaxHeartbeat() { Write("stopped"); }
  // Writes the file when the last write is kInterval ago.
  void Beat() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    next_ = now + kInterval;
    Write("running");
  }

 private:
  static constexpr std::chrono::seconds kInterval{2};
  void Write(const char* state) {
    if (root_.empty()) return;
    status_file::Write(root_, kExecutableName, state, started_, kInterval, {{"workers", workers_}},
                       host_);
  }
  // This box's name on a shared root; empty on a single box.
  static std::string BoxName() {
    const SharedRootSettings shared = ReadSharedRootSettings();
    return shared.on ? shared.host_id : std::string();
  }
  const std::string root_;
  const std::string host_;
  const std::chrono::system_clock::time_point started_;
  const unsigned workers_;
  std::chrono::steady_clock::time_point next_{};
};

// `announce`: this process speaks for the daemon (readiness, messages, the
// storage root's watch, the heartbeat); a worker leaves that to its supervisor.
int ServeUntilStopped(bool as_service, bool announce = true) {
  // Control signals are taken by this thread alone, through sigtimedwait; every
  // thread started from here on inherits the mask.
  const sigset_t signals = ControlSignals();
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
    ModuleMessage(as_service, "Handler not installed");
    return 1;
  }

  ComPtr<IClassFactory> speech_factory;
  ComPtr<IClassFactory> service_factory;
  CreateClassFactory<CSpeech>(speech_factory.Put());
  CreatePrepaxServiceFactory(service_factory.Put());
  const std::uint32_t speech_cookie = CoRegisterClassObject(kSpeechClsid, speech_factory);
  const std::uint32_t service_cookie = CoRegisterClassObject(kPrepaxServiceClsid, service_factory);
  service_factory.Reset();

  ComPtr<IPrepaxService> service;
  CreateInstance(kPrepaxServiceClsid, &service);
  if (announce) {
    sd_notify(0, "READY=1");
    if (!as_service) ModuleMessage(false, "Prepax is running; stop it with SIGTERM or Ctrl-C.");
  }

  // While it waits, the daemon looks at the storage root once a second.
  std::optional<setup::StorageWatch> storage;
  std::optional<PrepaxHeartbeat> heartbeat;
  if (announce) {
    storage.emplace(kExecutableName, setup::ConfiguredRoot({}), PrepaxLog());
    heartbeat.emplace(1);
  }
  const timespec second{1, 0};
  for (;;) {
    const int signal = sigtimedwait(&signals, nullptr, &second);
    if (signal < 0) {
      if (storage) storage->Poll();
      if (heartbeat) heartbeat->Beat();
      continue;
    }
    if (signal == SIGTERM || signal == SIGINT) break;
    if (signal != SIGHUP && announce) ModuleMessage(as_service, "Bad service request");
  }

  if (announce) sd_notify(0, "STOPPING=1");
  InterruptSpeaking();  // a long text must not hold up the stop
  service.Reset();
  CoRevokeClassObject(service_cookie);  // the last reference: the worker stops here
  CoRevokeClassObject(speech_cookie);
  return 0;
}

// The number of worker processes: $RINGWELL_PREPAX_WORKERS, else one per
// processor.
unsigned WorkerCount() {
  if (const char* text = std::getenv("RINGWELL_PREPAX_WORKERS"); text != nullptr) {
    const long count = std::strtol(text, nullptr, 10);
    if (count >= 1 && count <= 64) return static_cast<unsigned>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online >= 1 && online <= 64 ? static_cast<unsigned>(online) : 1;
}

// With several workers this process only supervises them (worker_pool.h):
// it speaks for the daemon, watches the storage root, and passes a stop on.
int SuperviseWorkers(unsigned count, bool as_service) {
  sigset_t signals = ControlSignals();
  sigaddset(&signals, SIGCHLD);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
    ModuleMessage(as_service, "Handler not installed");
    return 1;
  }
  WorkerPool workers(count, [as_service] { return ServeUntilStopped(as_service, false); });
  workers.StartDue();
  sd_notify(0, "READY=1");
  if (!as_service) ModuleMessage(false, "Prepax is running; stop it with SIGTERM or Ctrl-C.");

  setup::StorageWatch storage(kExecutableName, setup::ConfiguredRoot({}), PrepaxLog());
  PrepaxHeartbeat heartbeat(count);
  auto next_poll = std::chrono::steady_clock::now();
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_poll) {
      storage.Poll();
      heartbeat.Beat();
      next_poll = now + std::chrono::seconds(1);
    }
    const auto wait = std::min(workers.StartDue(), next_poll - std::chrono::steady_clock::now());
    const auto nanoseconds = std::max<std::int64_t>(0, std::chrono::nanoseconds(wait).count());
    const timespec timeout{static_cast<time_t>(nanoseconds / 1000000000),
                           static_cast<long>(nanoseconds % 1000000000)};
    const int signal = sigtimedwait(&signals, nullptr, &timeout);
    if (signal < 0) continue;
    if (signal == SIGTERM || signal == SIGINT) break;
    if (signal == SIGCHLD) {
      workers.Reap();
    } else if (signal != SIGHUP) {
      ModuleMessage(as_service, "Bad service request");
    }
  }
  sd_notify(0, "STOPPING=1");
  workers.Stop();
  return 0;
}

}  // namespace

int RunDaemon() {
  using setup::Component;
  const setup::Requirements requirements{.components = {Component::kTallier, Component::kWavshift},
                                         .prepax_registered = true,
                                         .audio_format_needed = true,
                                         .root = {}};
  if (!setup::ReadyToStart(kExecutableName, requirements, PrepaxLog())) return 1;
  bool registered_as_service = false;
  HRESULT hr = QueryRegistration(&registered_as_service);
  if (Failed(hr)) {
    std::fprintf(stderr, "%s is not registered (%s, %s); run \"prepax -RegServer\" first.\n",
                 kServiceName, ErrorText(hr).c_str(),
                 HexCode(static_cast<std::uint32_t>(hr)).c_str());
    return 1;
  }
  // Started by systemd when INVOCATION_ID is set; started from a shell with
  // LocalService set, it runs as a local server instead.
  const bool as_service = registered_as_service && std::getenv("INVOCATION_ID") != nullptr;
  // On a shared root one process of all boxes holds the Inbox's lease (see
  // prepax_service.h): worker processes would each need a lease of their own.
  const unsigned workers = ReadSharedRootSettings().on ? 1 : WorkerCount();
  if (workers > 1) return SuperviseWorkers(workers, as_service);
  return ServeUntilStopped(as_service);
}

}  // namespace ringwell::prepax
