#include "kel_log.h"

#include "ringwell/common/class_registry.h"

namespace ringwell::kel {

const CEventLog& KelEventLog() {
  static const CEventLog log("Kel", ModulePathOf(reinterpret_cast<const void*>(&KelEventLog)),
                             kel_msg::kTable);
  return log;
}

ErrorReporter KelReporter(std::string_view progid) { return ErrorReporter(KelEventLog(), progid); }

}  // namespace ringwell::kel
