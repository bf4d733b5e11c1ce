// The entry points of libdialqueue.so: the class table (coclass Dialqueue),
// its registration, and the event source, registered when the library is
// loaded.
#include "call_service.h"
#include "dialqueue_log.h"
#include "ringwell/common/class_registry.h"

namespace ringwell::dialqueue {
namespace {

constexpr ClassEntry kClasses[] = {{kDialqueueClsid, &CreateClassFactory<CCallService>}};

const ClassInfo kRegisteredClasses[] = {
    {.clsid = kDialqueueClsid,
     .description = "CV Dialqueue Class",
     .progid = kDialqueueProgId,
     .version_independent_progid = kDialqueueVersionIndependentProgId,
     .threading_model = "Free",
     .typelib = kDialqueueLibId}};

std::string ThisModule() { return ModulePathOf(reinterpret_cast<const void*>(&ThisModule)); }

const EventSourceAtLoad kEventSource(&DialqueueEventLog);

// The library stays loaded for the life of the process.
const ComponentLibrary kLibrary{.creatable = kClasses,
                                .registered = kRegisteredClasses,
                                .typelib = kDialqueueLibId,
                                .typelib_help = "CV Dialqueue 1.0 Type Library",
                                .module_path = &ThisModule};

}  // namespace
}  // namespace ringwell::dialqueue

RINGWELL_COMPONENT_ENTRY_POINTS(ringwell::dialqueue::kLibrary)
