#include "kel_log.h"

#include <string>

#include "ringwell/common/class_registry.h"

namespace ringwell::kel {

const CEventLog& KelEventLog() {
  static const CEventLog log("Kel", ModulePathOf(reinterpret_cast<const void*>(&KelEventLog)),
                             kel_msg::kTable);
  return log;
}

ErrorReporter KelReporter(std::string_view progid) { return ErrorReporter(KelEventLog(), progid); }

HRESULT RuleViolation(std::string_view progid, std::uint32_t message_id) {
  return KelReporter(progid).Plain(message_id, MessageCode(message_id), LogFlag::kNo);
}

HRESULT RuleViolation(std::string_view progid, std::uint32_t message_id, std::string_view s) {
  return KelReporter(progid).OneString(message_id, s, MessageCode(message_id), LogFlag::kNo);
}

HRESULT RuleViolation(std::string_view progid, std::uint32_t message_id, std::string_view s1,
                      std::string_view s2) {
  return KelReporter(progid).TwoStrings(message_id, s1, s2, MessageCode(message_id), LogFlag::kNo);
}

HRESULT InvalidPropertyValue(std::string_view progid, std::string_view property,
                             std::string_view value) {
  return RuleViolation(progid, kel_msg::kInvalidPropertyValue, property, value);
}

HRESULT InvalidPropertyValue(std::string_view progid, std::string_view property,
                             std::int32_t value) {
  return InvalidPropertyValue(progid, property, std::to_string(value));
}

}  // namespace ringwell::kel
