// The entry points of libdialqueue.so: the class table (coclass Dialqueue),
// its registration, and the event source, registered when the library is
// loaded.
#include "call_service.h"
#include "dialqueue_log.h"
#include "ringwell/common/class_registry.h"

namespace ringwell::dialqueue {
namespace {

constexpr ClassEntry kClasses[] = {{kDialqueueClsid, &CreateClassFactory<CCallService>}};

ClassInfo DialqueueInfo() {
  return {.clsid = kDialqueueClsid,
          .description = "CV Dialqueue Class",
          .progid = kDialqueueProgId,
          .version_independent_progid = kDialqueueVersionIndependentProgId,
          .threading_model = "Free",
          .typelib = kDialqueueLibId};
}

std::string ThisModule() { return ModulePathOf(reinterpret_cast<const void*>(&ThisModule)); }

const EventSourceAtLoad kEventSource(&DialqueueEventLog);

}  // namespace
}  // namespace ringwell::dialqueue

using namespace ringwell;
using namespace ringwell::dialqueue;

RINGWELL_EXPORT HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid, void** ppv) {
  return GetClassObjectFromTable(kClasses, clsid, iid, ppv);
}

RINGWELL_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }

RINGWELL_EXPORT HRESULT DllRegisterServer() {
  const ClassInfo classes[] = {DialqueueInfo()};
  return RegisterLibrary(classes, kDialqueueLibId, "CV Dialqueue 1.0 Type Library", ThisModule());
}

RINGWELL_EXPORT HRESULT DllUnregisterServer() {
  const ClassInfo classes[] = {DialqueueInfo()};
  return UnregisterLibrary(classes, kDialqueueLibId);
}
