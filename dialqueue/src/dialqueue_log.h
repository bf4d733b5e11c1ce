// The scheduler's event source ("Ringwell Dialqueue") and its reporter. The
// workers have no caller to hand an error to, so they only write entries:
// "Error in %1: %2." (kErrorIn) and "XML error in %1: %2." (kXmlErrorIn).
//
// Thread-safety: any thread may log at any time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ringwell/common/error_report.h"
#include "ringwell/common/event_log.h"

namespace ringwell::dialqueue {

const CEventLog& DialqueueEventLog();
// The reporter of CCallService: error objects name "Dialqueue.Dialqueue.1".
ErrorReporter DialqueueReporter();

// The second insertion of an entry: `text` without its closing full stop (the
// messages add their own), preceded by what it concerns ("request ID",
// "report PATH") when given.
std::string DescribeFailure(std::string_view text, std::string_view subject);

// Writes message `id` of the scheduler's table with the operation name and the
// text of the failure as DescribeFailure gives it.
void LogFailure(std::uint32_t id, std::string_view operation, std::string_view text,
                std::string_view subject = {});

}  // namespace ringwell::dialqueue
