// ringwell-regsvr: registers component libraries in the registry store by
// calling their DllRegisterServer entry point, or unregisters them with -u
// (DllUnregisterServer). Each library's entries go to its own drop-in beside
// the store file; the hand-written store file is never touched.
//
//   ringwell-regsvr [-u] LIBRARY...
//   ringwell-regsvr --help | --version
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "ringwell/common/library_registration.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/version.h"

namespace {

constexpr char kUsage[] =
    "usage: ringwell-regsvr [-u] LIBRARY...\n"
    "       ringwell-regsvr --help | --version\n"
    "Registers component libraries (libkel.so, libtallier.so, libwavshift.so,\n"
    "libdialqueue.so) in the registry store, or with -u unregisters them. Each\n"
    "library's entries go to its own drop-in in the directory beside the store\n"
    "file ($RINGWELL_REGISTRY, else /etc/ringwell/registry.toml).\n";

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  std::vector<std::string> libraries;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::printf("ringwell-regsvr %s\n", ringwell::kVersion);
      return 0;
    }
    if (argument == "-u") {
      unregister = true;
    } else if (argument.starts_with("-")) {
      std::fprintf(stderr, "ringwell-regsvr: unknown option \"%s\"\n%s", argv[i], kUsage);
      return 2;
    } else {
      libraries.emplace_back(argument);
    }
  }
  if (libraries.empty()) {
    std::fprintf(stderr, "ringwell-regsvr: no library given\n%s", kUsage);
    return 2;
  }
  int status = 0;
  for (const std::string& library : libraries) {
    std::string report;
    if (ringwell::Succeeded(ringwell::RegisterLibraryFile(library, unregister, &report))) {
      std::printf("ringwell-regsvr: %s\n", report.c_str());
    } else {
      std::fprintf(stderr, "ringwell-regsvr: %s\n", report.c_str());
      status = 1;
    }
  }
  return status;
}
