// The event log of the audio converter (source "Ringwell Wavshift", the
// converter's message table, message file this library) and the reporter its
// operations report through (error source "Wavshift.Wavshift.1").
//
// Thread-safety: the log is built when the library is loaded (registering
// its source), the reporter on first use; both are immutable afterwards.
#pragma once

#include "ringwell/common/error_report.h"
#include "ringwell/common/event_log.h"

namespace ringwell::wavshift {

const CEventLog& WavshiftLog();
const ErrorReporter& WavshiftReporter();

}  // namespace ringwell::wavshift
