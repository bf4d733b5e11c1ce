#include "ringwell/common/library_registration.h"

#include <dlfcn.h>

#include <cstdlib>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"

namespace ringwell {

std::string LibraryDropInName(const std::string& library_path) {
  std::string name = BaseNameOf(library_path);
  if (const std::size_t so = name.find(".so"); so != std::string::npos && so > 0) name.resize(so);
  return name;
}

HRESULT RegisterLibraryFile(const std::string& library_path, bool unregister, std::string* report) {
  char* absolute = realpath(library_path.c_str(), nullptr);
  const std::string path = absolute != nullptr ? absolute : library_path;
  std::free(absolute);
  if (!IsRegularFile(path)) {
    *report = "cannot load " + path + ": no such file";
    return HresultFromWin32(ERROR_FILE_NOT_FOUND);
  }
  // Loaded for good: a library's registration may leave static objects behind.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *report = "cannot load " + path + ": " + dlerror();
    return CO_E_DLLNOTFOUND;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto function = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, entry));
  if (function == nullptr) {
    *report = path + " does not export " + entry + "; it is not a component library";
    return CO_E_ERRORINDLL;
  }
  const registry::DropInScope scope(LibraryDropInName(path));
  const HRESULT hr = function();
  if (Failed(hr)) {
    *report = std::string(entry) + " of " + path + " failed: " + ErrorText(hr) + " (" +
              HexCode(static_cast<std::uint32_t>(hr)) + ")";
    if (const std::string where = registry::LastProblem(); !where.empty()) *report += ": " + where;
    return hr;
  }
  *report = (unregister ? "Unregistered " : "Registered ") + path +
            (unregister ? " from " : " in ") + registry::OwnDropInPath();
  return S_OK;
}

}  // namespace ringwell
