#include "daemon.h"

#include <signal.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>

#include "identifiers.h"
#include "prepax_log.h"
#include "prepax_service.h"
#include "registration.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/event_log.h"
#include "ringwell/setup/startup.h"
#include "speech.h"  // CSpeech

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

int ServeUntilStopped(bool as_service) {
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
  sd_notify(0, "READY=1");
  if (!as_service) ModuleMessage(false, "Prepax is running; stop it with SIGTERM or Ctrl-C.");

  // While it waits, the daemon looks at the storage root once a second.
  setup::StorageWatch storage(kExecutableName, setup::ConfiguredRoot({}), PrepaxLog());
  const timespec second{1, 0};
  for (;;) {
    const int signal = sigtimedwait(&signals, nullptr, &second);
    if (signal < 0) {
      storage.Poll();
      continue;
    }
    if (signal == SIGTERM || signal == SIGINT) break;
    if (signal != SIGHUP) ModuleMessage(as_service, "Bad service request");
  }

  sd_notify(0, "STOPPING=1");
  InterruptSpeaking();  // a long text must not hold up the stop
  service.Reset();
  CoRevokeClassObject(service_cookie);  // the last reference: the worker stops here
  CoRevokeClassObject(speech_cookie);
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
  return ServeUntilStopped(as_service);
}

}  // namespace ringwell::prepax
