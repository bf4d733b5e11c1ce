// The scheduler's event source ("Ringwell Dialqueue") and its reporter. The
// workers have no caller to hand an error to, so they only write entries:
// "Error in %1: %2." (kErrorIn) and "XML error in %1: %2." (kXmlErrorIn),
// with the operation's name and the failure's message text exactly as given
// (a text that ends with a full stop keeps it). The request, report or line an
// entry concerns goes beside it (EventContext), never into the text.
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

// Writes message `id` of the scheduler's table with the operation name and the
// failure's text, about `context`.
void LogFailure(std::uint32_t id, std::string_view operation, std::string_view text,
                const EventContext& context = {});

}  // namespace ringwell::dialqueue
