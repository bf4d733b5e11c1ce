// prepax: the preprocessing daemon. Without a switch it runs; "-RegServer",
// "-Service" and "-UnregServer" (also after "/", any letter case) register,
// install as a service, or unregister it.
#include <cstdio>

#include "command_line.h"
#include "daemon.h"
#include "registration.h"
#include "ringwell/common/hresult.h"

namespace {

int ExitCode(ringwell::HRESULT hr, const char* what) {
  if (ringwell::Succeeded(hr)) return 0;
  std::fprintf(stderr, "prepax: %s failed: %s (%s)\n", what, ringwell::ErrorText(hr).c_str(),
               ringwell::HexCode(static_cast<std::uint32_t>(hr)).c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ringwell::prepax;
  switch (ParseSwitch(JoinArguments(argc, argv))) {
    case Switch::kUnregServer:
      return ExitCode(UnregisterServer(), "unregistration");
    case Switch::kRegServer:
      return ExitCode(RegisterServer(false), "registration");
    case Switch::kService:
      return ExitCode(RegisterServer(true), "service installation");
    case Switch::kNone:
      break;
  }
  return RunDaemon();
}
