// The entry points of libtallier.so: the class table, registration of the
// Tallier class and its type library, and its event source, registered when
// the library is loaded.
#include "ctallier.h"
#include "ringwell/common/class_registry.h"
#include "tallier_log.h"

namespace ringwell::tallier {
namespace {

constexpr ClassEntry kClasses[] = {{kTallierClsid, &CreateClassFactory<CTallier>}};

ClassInfo TallierInfo() {
  return {.clsid = kTallierClsid,
          .description = "Tallier Class",
          .progid = kTallierProgId,
          .version_independent_progid = kTallierVersionIndependentProgId,
          .threading_model = "Apartment",
          .typelib = kTallierLibId};
}

std::string ThisModule() { return ModulePathOf(reinterpret_cast<const void*>(&ThisModule)); }

const EventSourceAtLoad kEventSource(&TallierEventLog);

}  // namespace
}  // namespace ringwell::tallier

using namespace ringwell;

RINGWELL_EXPORT HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid, void** ppv) {
  return GetClassObjectFromTable(tallier::kClasses, clsid, iid, ppv);
}

RINGWELL_EXPORT HRESULT DllCanUnloadNow() {
  return tallier::CTallier::LiveObjects() == 0 ? S_OK : S_FALSE;
}

RINGWELL_EXPORT HRESULT DllRegisterServer() {
  const ClassInfo classes[] = {tallier::TallierInfo()};
  return RegisterLibrary(classes, tallier::kTallierLibId, "Tallier 1.0 Type Library",
                         tallier::ThisModule());
}

RINGWELL_EXPORT HRESULT DllUnregisterServer() {
  const ClassInfo classes[] = {tallier::TallierInfo()};
  return UnregisterLibrary(classes, tallier::kTallierLibId);
}
