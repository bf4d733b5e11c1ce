// The toolkit's event source ("Kel") and the error reporters of its classes:
// each class reports with its own ProgID as the error source.
#pragma once

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

}  // namespace ringwell::kel
