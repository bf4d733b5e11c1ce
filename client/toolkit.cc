#include "toolkit.h"

#include <dlfcn.h>

#include <cstdlib>
#include <vector>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::kel::client {
namespace {

std::string WithoutLineBreak(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The libkel.so installed beside this program.
std::string BundledLibrary() {
  const char* env = std::getenv("RINGWELL_KEL_LIBRARY");
  return (env != nullptr && *env != '\0') ? env
                                          : DirectoryOf(ExecutablePath()) + "../lib/libkel.so";
}

// The factory of `clsid` from the library at `path` (loaded once, never
// unloaded, as the runtime does).
HRESULT FactoryFrom(const std::string& path, const Guid& clsid, ComPtr<IClassFactory>* factory) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return REGDB_E_CLASSNOTREG;
  auto get_class_object = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
  if (get_class_object == nullptr) return CO_E_ERRORINDLL;
  return get_class_object(&clsid, &IClassFactory::kIid, factory->PutVoid());
}

HRESULT CreateFromBundledLibrary(const Guid& clsid, const Guid& iid, void** object) {
  static const std::string path = BundledLibrary();
  ComPtr<IClassFactory> factory;
  const HRESULT hr = FactoryFrom(path, clsid, &factory);
  if (Failed(hr)) return hr;
  return factory->CreateInstance(nullptr, iid, object);
}

// Takes the toolkit's factories and serves them in this process.
bool ServeToolkitOnce() {
  // The library the runtime would load: the registered one, else the bundled.
  std::string path;
  registry::Key key;
  if (Failed(registry::Key::Open(ClassKeyPath(kKelServiceClsid) + "\\InprocServer32", &key)) ||
      Failed(key.QueryString("", &path, 4096)) || path.empty()) {
    path = BundledLibrary();
  }
  // The creatable classes (the others are made by the toolkit's objects).
  const Guid classes[] = {kKelServiceClsid, kKelRequestClsid, kKelMessagePartClsid,
                          kKelResponseClsid, kKelRecipientClsid};
  std::vector<ComPtr<IClassFactory>> factories;
  for (const Guid& clsid : classes) {
    ComPtr<IClassFactory> factory;
    if (Failed(FactoryFrom(path, clsid, &factory))) return false;
    factories.push_back(std::move(factory));
  }
  for (std::size_t i = 0; i < factories.size(); ++i) {
    CoRegisterClassObject(classes[i], std::move(factories[i]));
  }
  return true;
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
  throw Failure(hr, text, doing);
}

HRESULT CreateObject(const Guid& clsid, const Guid& iid, void** object) {
  // A submission makes an object per recipient: the registry is read for the
  // toolkit once, not for each of them.
  ServeToolkitInProcess();
  HRESULT hr = CoCreateInstance(clsid, iid, object);
  if (hr == REGDB_E_CLASSNOTREG || hr == CO_E_DLLNOTFOUND) {
    // Without the bundled library the runtime's explanation stands.
    auto explanation = GetErrorInfo();
    ClearErrorInfo();
    HRESULT bundled = CreateFromBundledLibrary(clsid, iid, object);
    if (Succeeded(bundled)) return bundled;
    if (explanation) SetErrorInfo(std::move(*explanation));
  }
  return hr;
}

ComPtr<IKelService> OpenService(const std::string& root) {
  auto service = Make<IKelService>(kKelServiceClsid);
  if (!root.empty()) Check(service->put_Location(root.c_str()));
  return service;
}

bool ServeToolkitInProcess() {
  static const bool served = ServeToolkitOnce();
  return served;
}

}  // namespace ringwell::kel::client
