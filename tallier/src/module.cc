// The entry points of libtallier.so: the class table, registration of the
// Tallier class and its type library, and its event source, registered when
// the library is loaded.
#include "ctallier.h"
#include "ringwell/common/class_registry.h"
#include "tallier_log.h"

namespace ringwell::tallier {
namespace {

constexpr ClassEntry kClasses[] = {{kTallierClsid, &CreateClassFactory<CTallier>}};

const ClassInfo kRegisteredClasses[] = {
    {.clsid = kTallierClsid,
     .description = "Tallier Class",
     .progid = kTallierProgId,
     .version_independent_progid = kTallierVersionIndependentProgId,
     .threading_model = "Apartment",
     .typelib = kTallierLibId}};

std::string ThisModule() { return ModulePathOf(reinterpret_cast<const void*>(&ThisModule)); }

const EventSourceAtLoad kEventSource(&TallierEventLog);

// The library may be unloaded once no report generator is alive.
const ComponentLibrary kLibrary{.creatable = kClasses,
                                .registered = kRegisteredClasses,
                                .typelib = kTallierLibId,
                                .typelib_help = "Tallier 1.0 Type Library",
                                .module_path = &ThisModule,
                                .can_unload = [] { return CTallier::LiveObjects() == 0; }};

}  // namespace
}  // namespace ringwell::tallier

RINGWELL_COMPONENT_ENTRY_POINTS(ringwell::tallier::kLibrary)
