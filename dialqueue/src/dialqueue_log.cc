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

std::string DescribeFailure(std::string_view text, std::string_view subject) {
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.remove_suffix(1);
  std::string what;
  if (!subject.empty()) what.append(subject).append(": ");
  return what.append(text);
}

void LogFailure(std::uint32_t id, std::string_view operation, std::string_view text,
                std::string_view subject) {
  DialqueueEventLog().ReportTwoStrings(EventTypeOf(id), id, operation,
                                       DescribeFailure(text, subject));
}

}  // namespace ringwell::dialqueue
