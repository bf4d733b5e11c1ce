#include "tallier_log.h"

#include "ringwell/common/class_registry.h"
#include "ringwell/tallier/tallier.h"

namespace ringwell::tallier {

const CEventLog& TallierEventLog() {
  static const CEventLog log("Tallier",
                             ModulePathOf(reinterpret_cast<const void*>(&TallierEventLog)),
                             tallier_msg::kTable);
  return log;
}

const ErrorReporter& TallierReporter() {
  static const ErrorReporter reporter(TallierEventLog(), kTallierProgId);
  return reporter;
}

}  // namespace ringwell::tallier
