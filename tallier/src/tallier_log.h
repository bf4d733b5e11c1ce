// The report generator's event source ("Tallier", with the report generator's
// message table and its own shared object as message file, registered when
// libtallier.so is loaded) and the reporter whose error objects name the
// Tallier ProgID as their source.
//
// Thread-safety: both may be used from any thread.
#pragma once

#include "ringwell/common/error_report.h"
#include "ringwell/common/event_log.h"

namespace ringwell::tallier {

// The one event log of the report generator, built on first use.
const CEventLog& TallierEventLog();
const ErrorReporter& TallierReporter();

}  // namespace ringwell::tallier
