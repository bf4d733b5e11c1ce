#include "dialqueue_log.h"

#include <string>

#include "ringwell/common/class_registry.h"
#include "ringwell/dialqueue/dialqueue.h"

namespace ringwell::dialqueue {

const CEventLog& DialqueueEventLog() {
  static const CEventLog log("Ringwell Dialqueue",
                             ModulePathOf(reinterpret_cast<const void*>(&DialqueueEventLog)),
                             dialqueue_msg::kTable);
  return log;
}

ErrorReporter DialqueueReporter() { return ErrorReporter(DialqueueEventLog(), kDialqueueProgId); }

void LogFailure(std::uint32_t id, std::string_view operation, std::string_view text,
                const EventContext& context) {
  DialqueueEventLog().ReportTwoStrings(EventTypeOf(id), id, operation, text, context);
}

}  // namespace ringwell::dialqueue
