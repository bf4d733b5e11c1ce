#include "ringwell/common/class_registry.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "ringwell/common/registry.h"

namespace ringwell {
namespace {

constexpr char kClassesKey[] = "SOFTWARE\\Classes\\";
constexpr char kRuntimeSource[] = "Ringwell runtime";

struct ProcessClasses {
  std::mutex mutex;
  std::map<std::uint32_t, std::pair<Guid, ComPtr<IClassFactory>>> served;
  std::uint32_t next_cookie = 1;
  std::map<std::string, void*> libraries;  // path -> dlopen handle, never closed
};

ProcessClasses& Classes() {
  static auto* classes = new ProcessClasses();  // lives until the process ends
  return *classes;
}

HRESULT Fail(HRESULT hr, std::string description) {
  SetErrorInfo({kRuntimeSource, std::move(description), kGuidNull});
  return hr;
}

// The served factory of `clsid`, if this process serves it.
ComPtr<IClassFactory> ServedFactory(const Guid& clsid) {
  ProcessClasses& classes = Classes();
  std::lock_guard lock(classes.mutex);
  for (const auto& [cookie, entry] : classes.served) {
    if (entry.first == clsid) return entry.second;
  }
  return nullptr;
}

// Why `name` is not a registered class, in words: what was read and how a
// class gets registered.
HRESULT NotRegistered(std::string_view name) {
  const std::string store = registry::StorePath();
  std::string why;
  HRESULT read = registry::Read([](const registry::Tree&) {});
  if (Succeeded(read) && !registry::StoreExists()) {
    why = "the registry " + store + " does not exist";
  } else if (Failed(read)) {
    why = "the registry " + store + " cannot be read (" + ErrorText(read) + ": " +
          registry::LastProblem() + ")";
  } else {
    why = "the registry " + store + " has no entry for it";
  }
  return Fail(REGDB_E_CLASSNOTREG,
              "Class not registered: " + std::string(name) + ": " + why +
                  ". Register the component library that serves it with "
                  "ringwell-regsvr LIBRARY.so, or set RINGWELL_REGISTRY to the registry "
                  "it is in.");
}

// The factory of `clsid` from the library registered for it. On failure
// `*factory` stays null, whatever the library's entry point wrote.
HRESULT LoadLibraryFactory(const Guid& clsid, ComPtr<IClassFactory>* factory) {
  std::string path;
  registry::Key key;
  HRESULT hr = registry::Key::Open(ClassKeyPath(clsid) + "\\InprocServer32", &key);
  if (Succeeded(hr)) hr = key.QueryString("", &path, 4096);
  if (Failed(hr) || path.empty()) return NotRegistered(clsid.ToString());
  ProcessClasses& classes = Classes();
  void* handle = nullptr;
  {
    std::lock_guard lock(classes.mutex);
    auto it = classes.libraries.find(path);
    if (it != classes.libraries.end()) {
      handle = it->second;
    } else {
      handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) {
        const char* why = dlerror();
        return Fail(CO_E_DLLNOTFOUND, "Cannot load " + path + ": " + (why ? why : "unknown"));
      }
      classes.libraries.emplace(path, handle);
    }
  }
  auto get_class_object = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
  if (get_class_object == nullptr) {
    return Fail(CO_E_ERRORINDLL, path + " does not export DllGetClassObject");
  }
  void* raw = nullptr;
  hr = get_class_object(&clsid, &IClassFactory::kIid, &raw);
  if (Failed(hr)) return hr;  // whatever `raw` holds now is not ours to release
  if (raw == nullptr)
    return Fail(CO_E_ERRORINDLL, path + ": DllGetClassObject returned no factory");
  factory->Attach(static_cast<IClassFactory*>(raw));
  return S_OK;
}

}  // namespace

std::string ClassKeyPath(const Guid& clsid) {
  return std::string(kClassesKey) + "CLSID\\" + clsid.ToString();
}

std::string ProgIdKeyPath(std::string_view progid) {
  return std::string(kClassesKey) + std::string(progid);
}

HRESULT CLSIDFromProgID(std::string_view progid, Guid* clsid) {
  if (clsid == nullptr) return E_INVALIDARG;
  registry::Key key;
  std::string text;
  HRESULT hr = registry::Key::Open(ProgIdKeyPath(progid) + "\\CLSID", &key);
  if (Succeeded(hr)) hr = key.QueryString("", &text);
  if (Failed(hr)) return CO_E_CLASSSTRING;
  auto parsed = Guid::Parse(text);
  if (!parsed) return CO_E_CLASSSTRING;
  *clsid = *parsed;
  return S_OK;
}

HRESULT CoCreateInstance(const Guid& clsid, const Guid& iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  ComPtr<IClassFactory> factory = ServedFactory(clsid);
  if (!factory) {
    HRESULT hr = LoadLibraryFactory(clsid, &factory);
    if (Failed(hr)) return hr;
  }
  void* object = nullptr;
  HRESULT hr = factory->CreateInstance(nullptr, iid, &object);
  // A failing factory may have written to `object`; it is never handed on.
  if (Failed(hr)) return hr;
  if (object == nullptr) {
    return Fail(CO_E_ERRORINDLL, "The class factory of " + clsid.ToString() +
                                     " reported success but gave no object");
  }
  *ppv = object;
  return S_OK;
}

HRESULT CoCreateInstance(std::string_view progid_or_clsid, const Guid& iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  Guid clsid;
  if (auto parsed = Guid::Parse(progid_or_clsid)) {
    clsid = *parsed;
  } else if (Failed(CLSIDFromProgID(progid_or_clsid, &clsid))) {
    return NotRegistered(progid_or_clsid);
  }
  return CoCreateInstance(clsid, iid, ppv);
}

std::uint32_t CoRegisterClassObject(const Guid& clsid, ComPtr<IClassFactory> factory) {
  ProcessClasses& classes = Classes();
  std::lock_guard lock(classes.mutex);
  const std::uint32_t cookie = classes.next_cookie++;
  classes.served.emplace(cookie, std::make_pair(clsid, std::move(factory)));
  return cookie;
}

void CoRevokeClassObject(std::uint32_t cookie) {
  ComPtr<IClassFactory> released;  // released after the lock is dropped
  ProcessClasses& classes = Classes();
  std::lock_guard lock(classes.mutex);
  auto it = classes.served.find(cookie);
  if (it == classes.served.end()) return;
  released = std::move(it->second.second);
  classes.served.erase(it);
}

HRESULT GetClassObjectFromTable(std::span<const ClassEntry> classes, const Guid* clsid,
                                const Guid* iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (clsid == nullptr || iid == nullptr) return E_INVALIDARG;
  for (const ClassEntry& entry : classes) {
    if (entry.clsid != *clsid) continue;
    ComPtr<IClassFactory> factory;
    HRESULT hr = entry.create_factory(factory.Put());
    if (Failed(hr)) return hr;
    return factory->QueryInterface(*iid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

namespace {

void WriteClassKeys(registry::Tree& tree, const ClassInfo& info, std::string_view server_key,
                    const std::string& server_path) {
  const std::string key = ClassKeyPath(info.clsid);
  const std::string clsid = info.clsid.ToString();
  tree.Set(key, "", std::string(info.description));
  if (!info.progid.empty()) tree.Set(key + "\\ProgID", "", std::string(info.progid));
  if (!info.version_independent_progid.empty()) {
    tree.Set(key + "\\VersionIndependentProgID", "", std::string(info.version_independent_progid));
  }
  if (info.programmable) tree.CreateKey(key + "\\Programmable");
  const std::string server = key + "\\" + std::string(server_key);
  tree.Set(server, "", server_path);
  if (!info.threading_model.empty()) {
    tree.Set(server, "ThreadingModel", std::string(info.threading_model));
  }
  if (info.typelib) tree.Set(key + "\\TypeLib", "", info.typelib->ToString());
  if (info.appid) tree.Set(key, "AppID", info.appid->ToString());
  if (!info.progid.empty()) {
    const std::string progid_key = ProgIdKeyPath(info.progid);
    tree.Set(progid_key, "", std::string(info.description));
    tree.Set(progid_key + "\\CLSID", "", clsid);
  }
  if (!info.version_independent_progid.empty()) {
    const std::string vi_key = ProgIdKeyPath(info.version_independent_progid);
    tree.Set(vi_key, "", std::string(info.description));
    tree.Set(vi_key + "\\CLSID", "", clsid);
    if (info.cur_ver && !info.progid.empty()) {
      tree.Set(vi_key + "\\CurVer", "", std::string(info.progid));
    }
  }
}

}  // namespace

namespace {

void RemoveClassKeys(registry::Tree& tree, const ClassInfo& info) {
  tree.DeleteKey(ClassKeyPath(info.clsid));
  if (!info.progid.empty()) tree.DeleteKey(ProgIdKeyPath(info.progid));
  if (!info.version_independent_progid.empty()) {
    tree.DeleteKey(ProgIdKeyPath(info.version_independent_progid));
  }
}

std::string TypeLibKeyPath(const Guid& libid) {
  return std::string(kClassesKey) + "TypeLib\\" + libid.ToString();
}

void WriteTypeLib(registry::Tree& tree, const Guid& libid, std::string_view help_string,
                  const std::string& module_path) {
  const std::string key = TypeLibKeyPath(libid) + "\\1.0";
  tree.Set(key, "", std::string(help_string));
  tree.Set(key + "\\0\\linux64", "", module_path);
}

}  // namespace

HRESULT RegisterInprocServer(const ClassInfo& info, const std::string& module_path) {
  return registry::Edit(
      [&](registry::Tree& tree) { WriteClassKeys(tree, info, "InprocServer32", module_path); });
}

HRESULT RegisterLocalServer(const ClassInfo& info, const std::string& exe_path) {
  return registry::Edit(
      [&](registry::Tree& tree) { WriteClassKeys(tree, info, "LocalServer32", exe_path); });
}

HRESULT UnregisterClass(const ClassInfo& info) {
  return registry::Edit([&](registry::Tree& tree) { RemoveClassKeys(tree, info); });
}

HRESULT RegisterLibrary(std::span<const ClassInfo> classes, const Guid& libid,
                        std::string_view help_string, const std::string& module_path) {
  return registry::Edit([&](registry::Tree& tree) {
    for (const ClassInfo& info : classes) WriteClassKeys(tree, info, "InprocServer32", module_path);
    WriteTypeLib(tree, libid, help_string, module_path);
  });
}

HRESULT UnregisterLibrary(std::span<const ClassInfo> classes, const Guid& libid) {
  return registry::Edit([&](registry::Tree& tree) {
    for (const ClassInfo& info : classes) RemoveClassKeys(tree, info);
    tree.DeleteKey(TypeLibKeyPath(libid));
  });
}

HRESULT RegisterTypeLib(const Guid& libid, std::string_view help_string,
                        const std::string& module_path) {
  return registry::Edit(
      [&](registry::Tree& tree) { WriteTypeLib(tree, libid, help_string, module_path); });
}

HRESULT UnregisterTypeLib(const Guid& libid) {
  return registry::Edit([&](registry::Tree& tree) { tree.DeleteKey(TypeLibKeyPath(libid)); });
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  std::string path = info.dli_fname;
  if (char* real = realpath(path.c_str(), nullptr)) {
    path = real;
    free(real);  // NOLINT(cppcoreguidelines-no-malloc)
  }
  return path;
}

std::string ExecutablePath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace ringwell
