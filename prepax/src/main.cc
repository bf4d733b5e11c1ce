// prepax: the preprocessing daemon. Without an argument it runs;
// "-RegServer", "-Service" and "-UnregServer" (also after "/", any letter
// case) register, install as a service, or unregister it, and say what they
// did. "--help" and "--version" answer; anything else is refused with the
// usage and exit code 2.
#include <cstdio>
#include <string>

#include "command_line.h"
#include "daemon.h"
#include "registration.h"
#include "ringwell/common/version.h"

namespace {

int Reported(ringwell::HRESULT hr, const std::string& report) {
  std::fprintf(ringwell::Succeeded(hr) ? stdout : stderr, "prepax: %s\n", report.c_str());
  return ringwell::Succeeded(hr) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ringwell::prepax;
  const CommandLine line = ParseCommandLine(argc, argv);
  std::string report;
  switch (line.action) {
    case Switch::kHelp:
      std::fputs(Usage().c_str(), stdout);
      return 0;
    case Switch::kVersion:
      std::printf("prepax %s\n", ringwell::kVersion);
      return 0;
    case Switch::kUnknown:
      std::fprintf(stderr, "prepax: unknown argument \"%s\"\n%s", line.refused.c_str(),
                   Usage().c_str());
      return 2;
    case Switch::kUnregServer: {
      const ringwell::HRESULT hr = UnregisterServer(&report);
      return Reported(hr, report);
    }
    case Switch::kRegServer: {
      const ringwell::HRESULT hr = RegisterServer(false, &report);
      return Reported(hr, report);
    }
    case Switch::kService: {
      const ringwell::HRESULT hr = RegisterServer(true, &report);
      return Reported(hr, report);
    }
    case Switch::kNone:
      break;
  }
  return RunDaemon();
}
