// The toolkit's event source ("Kel") and the error reporters of its classes:
// each class reports with its own ProgID as the error source.
//
// Thread-safety: the event log is built when libkel.so is loaded (registering
// the source "Kel"); reporters are values any thread may use.
#pragma once

#include <cstdint>
#include <string_view>

#include "ringwell/common/error_report.h"
#include "ringwell/common/event_log.h"

namespace ringwell::kel {

const CEventLog& KelEventLog();
// A reporter whose error objects name `progid` (a string that lives for the
// whole process) as their source.
ErrorReporter KelReporter(std::string_view progid);

// The toolkit's own rule violations return the message identifier itself as
// their status code, and are not logged.
inline HRESULT MessageCode(std::uint32_t message_id) { return static_cast<HRESULT>(message_id); }

// Reports a rule violation of the class `progid`: message `message_id` with
// its insertion strings, returned as the status code, not logged.
HRESULT RuleViolation(std::string_view progid, std::uint32_t message_id);
HRESULT RuleViolation(std::string_view progid, std::uint32_t message_id, std::string_view s);
HRESULT RuleViolation(std::string_view progid, std::uint32_t message_id, std::string_view s1,
                      std::string_view s2);

// "Invalid property  value for property: %1 = %2." for a rejected value.
HRESULT InvalidPropertyValue(std::string_view progid, std::string_view property,
                             std::string_view value);
HRESULT InvalidPropertyValue(std::string_view progid, std::string_view property,
                             std::int32_t value);

}  // namespace ringwell::kel
