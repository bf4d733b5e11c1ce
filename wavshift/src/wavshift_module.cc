// The entry points of libwavshift.so: the class table, registration of the
// Wavshift class and its type library, and the converter's event log, whose
// source is registered when the library is loaded.
#include "ringwell/common/class_registry.h"
#include "ringwell/common/message_tables.h"
#include "wavshift.h"
#include "wavshift_log.h"

namespace ringwell::wavshift {

const CEventLog& WavshiftLog() {
  static const CEventLog log("Ringwell Wavshift",
                             ModulePathOf(reinterpret_cast<const void*>(&WavshiftLog)),
                             wavshift_msg::kTable);
  return log;
}

const ErrorReporter& WavshiftReporter() {
  static const ErrorReporter reporter(WavshiftLog(), kWavshiftProgId);
  return reporter;
}

namespace {

constexpr char kTypeLibHelp[] = "CV Wavshift 1.0 Type Library";

constexpr ClassEntry kClasses[] = {{kWavshiftClsid, &CreateClassFactory<CWavshift>}};

const ClassInfo kRegisteredClasses[] = {
    {.clsid = kWavshiftClsid,
     .description = "CV Wavshift Class",
     .progid = kWavshiftProgId,
     .version_independent_progid = kWavshiftVersionIndependentProgId,
     .threading_model = "Apartment",
     .typelib = kWavshiftLibId}};

std::string ModulePath() { return ModulePathOf(reinterpret_cast<const void*>(&WavshiftLog)); }

const EventSourceAtLoad kEventSource(&WavshiftLog);

// The library stays loaded for the life of the process.
const ComponentLibrary kLibrary{.creatable = kClasses,
                                .registered = kRegisteredClasses,
                                .typelib = kWavshiftLibId,
                                .typelib_help = kTypeLibHelp,
                                .module_path = &ModulePath};

}  // namespace
}  // namespace ringwell::wavshift

RINGWELL_COMPONENT_ENTRY_POINTS(ringwell::wavshift::kLibrary)
