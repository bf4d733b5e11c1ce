// Creation of objects by class identifier or ProgID, and the registration of
// classes in the registry store.
//
// CoCreateInstance looks first at the classes this process serves itself
// (CoRegisterClassObject), then at the registry: the class key's
// InprocServer32 names the shared library, which is loaded once per process
// (and never unloaded) and asked for the class factory through its exported
// DllGetClassObject.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ringwell/common/com.h"

namespace ringwell {

// Signatures of a component library's entry points.
using DllGetClassObjectFn = HRESULT (*)(const Guid* clsid, const Guid* iid, void** ppv);
using DllRegisterServerFn = HRESULT (*)();

// The class identifier registered for a ProgID (or version-independent ProgID).
HRESULT CLSIDFromProgID(std::string_view progid, Guid* clsid);

// Creates an object of class `clsid` and returns its interface `iid` (the
// caller owns the reference). Fails with REGDB_E_CLASSNOTREG for an unknown
// class, CO_E_DLLNOTFOUND when its library does not load, CO_E_ERRORINDLL
// when the library has no DllGetClassObject or its factory gives no object;
// these set an error object that says why in words (for an unknown class:
// which registry file was read and how to register the class).
//
// The out-parameter contract: `*ppv` is non-null exactly when the call
// succeeds. On every failure it is null, whatever the component library did,
// so a caller that checks the status never touches a dangling object. A null
// `ppv` gives E_POINTER.
HRESULT CoCreateInstance(const Guid& clsid, const Guid& iid, void** ppv);
// The same by ProgID, or by a class identifier in registry string form.
HRESULT CoCreateInstance(std::string_view progid_or_clsid, const Guid& iid, void** ppv);

// Creates an object of `class_id` (a Guid, a ProgID or a class identifier in
// registry string form) as interface I into `*out`, releasing what `*out`
// held. `*out` holds the object exactly when the call succeeds and is null
// after any failure; a null `out` gives E_POINTER.
template <class I, class Id>
HRESULT CreateInstance(const Id& class_id, ComPtr<I>* out) {
  if (out == nullptr) return E_POINTER;
  return CoCreateInstance(class_id, I::kIid, out->PutVoid());
}

// Serves `factory` for `clsid` to CoCreateInstance calls of this process.
// Returns a cookie for CoRevokeClassObject.
std::uint32_t CoRegisterClassObject(const Guid& clsid, ComPtr<IClassFactory> factory);
void CoRevokeClassObject(std::uint32_t cookie);

// One creatable class of a component library: its identifier and how to make
// its factory.
struct ClassEntry {
  Guid clsid;
  HRESULT (*create_factory)(IClassFactory** out);
};
// The body of a library's DllGetClassObject: looks `clsid` up in `classes`.
HRESULT GetClassObjectFromTable(std::span<const ClassEntry> classes, const Guid* clsid,
                                const Guid* iid, void** ppv);

// What registration writes for one class.
struct ClassInfo {
  Guid clsid{};
  std::string_view description{};
  std::string_view progid{};                      // empty: none
  std::string_view version_independent_progid{};  // empty: none
  std::string_view threading_model{};             // "Apartment", "Free", "Both"
  std::optional<Guid> typelib{};
  bool programmable = true;
  bool cur_ver = true;  // whether the version-independent ProgID gets CurVer
  std::optional<Guid> appid{};
};

// Writes the class key (description, ProgID, VersionIndependentProgID,
// Programmable, InprocServer32 = module_path with ThreadingModel, TypeLib) and
// the ProgID keys (CLSID, CurVer).
HRESULT RegisterInprocServer(const ClassInfo& info, const std::string& module_path);
// The same for a class an executable serves (LocalServer32 = exe_path).
HRESULT RegisterLocalServer(const ClassInfo& info, const std::string& exe_path);
// Removes the class key and its ProgID keys.
HRESULT UnregisterClass(const ClassInfo& info);
// What a component library's DllRegisterServer / DllUnregisterServer do: the
// keys of every class it serves in-process from `module_path`, and its type
// library, written or removed in one transaction.
HRESULT RegisterLibrary(std::span<const ClassInfo> classes, const Guid& libid,
                        std::string_view help_string, const std::string& module_path);
HRESULT UnregisterLibrary(std::span<const ClassInfo> classes, const Guid& libid);
// Writes / removes a type library key (help string, version 1.0, module path).
HRESULT RegisterTypeLib(const Guid& libid, std::string_view help_string,
                        const std::string& module_path);
HRESULT UnregisterTypeLib(const Guid& libid);

// What a component library serves and registers: the classes it creates, the
// classes it registers (creatable or not), its type library, where it is, and
// whether it may be unloaded now (null: it stays loaded for the life of the
// process).
struct ComponentLibrary {
  std::span<const ClassEntry> creatable;
  std::span<const ClassInfo> registered;
  Guid typelib;
  std::string_view typelib_help;
  std::string (*module_path)();
  bool (*can_unload)() = nullptr;
};

// Defines the four entry points a component library exports (DllGetClassObject,
// DllRegisterServer, DllUnregisterServer, DllCanUnloadNow) from `library`, an
// expression giving a `const ComponentLibrary&`. Used once, at global scope, in
// the library's module file.
#define RINGWELL_COMPONENT_ENTRY_POINTS(library)                                                   \
  RINGWELL_EXPORT ::ringwell::HRESULT DllGetClassObject(const ::ringwell::Guid* clsid,             \
                                                        const ::ringwell::Guid* iid, void** ppv) { \
    return ::ringwell::GetClassObjectFromTable((library).creatable, clsid, iid, ppv);              \
  }                                                                                                \
  RINGWELL_EXPORT ::ringwell::HRESULT DllRegisterServer() {                                        \
    const ::ringwell::ComponentLibrary& served = (library);                                        \
    return ::ringwell::RegisterLibrary(served.registered, served.typelib, served.typelib_help,     \
                                       served.module_path());                                      \
  }                                                                                                \
  RINGWELL_EXPORT ::ringwell::HRESULT DllUnregisterServer() {                                      \
    const ::ringwell::ComponentLibrary& served = (library);                                        \
    return ::ringwell::UnregisterLibrary(served.registered, served.typelib);                       \
  }                                                                                                \
  RINGWELL_EXPORT ::ringwell::HRESULT DllCanUnloadNow() {                                          \
    const ::ringwell::ComponentLibrary& served = (library);                                        \
    return served.can_unload != nullptr && served.can_unload() ? ::ringwell::S_OK                  \
                                                               : ::ringwell::S_FALSE;              \
  }

// Absolute path of the shared object (or executable) that contains `address`.
std::string ModulePathOf(const void* address);
// Absolute path of the running executable.
std::string ExecutablePath();

// Registry key paths below HKEY_LOCAL_MACHINE.
std::string ClassKeyPath(const Guid& clsid);
std::string ProgIdKeyPath(std::string_view progid);

}  // namespace ringwell
