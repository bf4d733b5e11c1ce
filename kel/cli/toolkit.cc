#include "toolkit.h"

#include <dlfcn.h>

#include <cstdlib>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::kel::cli {
namespace {

std::string WithoutLineBreak(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The libkel.so installed beside this program.
HRESULT CreateFromBundledLibrary(const Guid& clsid, const Guid& iid, void** object) {
  const char* env = std::getenv("RINGWELL_KEL_LIBRARY");
  const std::string path =
      (env != nullptr && *env != '\0') ? env : DirectoryOf(ExecutablePath()) + "../lib/libkel.so";
  static void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return REGDB_E_CLASSNOTREG;
  auto get_class_object = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
  if (get_class_object == nullptr) return CO_E_ERRORINDLL;
  ComPtr<IClassFactory> factory;
  HRESULT hr = get_class_object(&clsid, &IClassFactory::kIid, factory.PutVoid());
  if (Failed(hr)) return hr;
  return factory->CreateInstance(nullptr, iid, object);
}

}  // namespace

HRESULT Check(HRESULT hr, const std::string& doing) {
  if (Succeeded(hr)) return hr;
  std::string text;
  if (auto info = GetErrorInfo(); info && !info->description.empty()) {
    text = WithoutLineBreak(info->description);
  } else {
    text = ErrorText(hr) + " (" + HexCode(static_cast<std::uint32_t>(hr)) + ")";
  }
  if (!doing.empty()) text = doing + ": " + text;
  throw Failure(hr, text);
}

HRESULT CreateObject(const Guid& clsid, const Guid& iid, void** object) {
  HRESULT hr = CoCreateInstance(clsid, iid, object);
  if (hr == REGDB_E_CLASSNOTREG || hr == CO_E_DLLNOTFOUND) {
    ClearErrorInfo();
    HRESULT bundled = CreateFromBundledLibrary(clsid, iid, object);
    if (Succeeded(bundled)) return bundled;
  }
  return hr;
}

ComPtr<IKelService> OpenService(const std::string& root) {
  auto service = Make<IKelService>(kKelServiceClsid);
  if (!root.empty()) Check(service->put_Location(root.c_str()));
  return service;
}

}  // namespace ringwell::kel::cli
