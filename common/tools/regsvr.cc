// ringwell-regsvr: registers component libraries in the registry store by
// calling their DllRegisterServer entry point, or unregisters them with -u
// (DllUnregisterServer). This is what an installer and the tests use.
//
//   ringwell-regsvr [-u] LIBRARY...
//
// The store is $RINGWELL_REGISTRY, else /etc/ringwell/registry.toml.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: ringwell-regsvr [-u] LIBRARY...\n");
  return 2;
}

int Run(const char* library, bool unregister) {
  char* absolute = realpath(library, nullptr);
  const std::string path = absolute != nullptr ? absolute : library;
  std::free(absolute);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "ringwell-regsvr: cannot load %s: %s\n", path.c_str(), dlerror());
    return 1;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto function = reinterpret_cast<ringwell::DllRegisterServerFn>(dlsym(handle, entry));
  if (function == nullptr) {
    std::fprintf(stderr, "ringwell-regsvr: %s does not export %s\n", path.c_str(), entry);
    return 1;
  }
  const ringwell::HRESULT hr = function();
  if (ringwell::Failed(hr)) {
    std::fprintf(stderr, "ringwell-regsvr: %s of %s failed: %s (%s)\n", entry, path.c_str(),
                 ringwell::ErrorText(hr).c_str(),
                 ringwell::HexCode(static_cast<std::uint32_t>(hr)).c_str());
    return 1;
  }
  std::printf("%s %s in %s\n", unregister ? "Unregistered" : "Registered", path.c_str(),
              ringwell::registry::StorePath().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  int first = 1;
  if (argc > 1 && std::string_view(argv[1]) == "-u") {
    unregister = true;
    first = 2;
  }
  if (first >= argc) return Usage();
  int status = 0;
  for (int i = first; i < argc; ++i) status |= Run(argv[i], unregister);
  return status;
}
