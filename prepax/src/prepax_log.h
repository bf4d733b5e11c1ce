// The event log of the preprocessing daemon: source "Ringwell Prepax", the
// daemon's message table, message file the daemon's executable. Everything
// the daemon serves (the speech component, the request processor, the
// service) reports through it.
//
// Thread-safety: built on first use, immutable afterwards; any thread may
// report through it.
#pragma once

#include <cstdint>
#include <string_view>

#include "ringwell/common/error_report.h"
#include "ringwell/common/event_log.h"

namespace ringwell::prepax {

inline constexpr char kPrepaxEventSource[] = "Ringwell Prepax";

const CEventLog& PrepaxLog();

// The reporter at the daemon's error boundaries (ErrorReporter::Guard): its
// entries go to PrepaxLog; the classes it speaks for have no ProgID.
inline ErrorReporter PrepaxReporter() { return ErrorReporter(PrepaxLog(), ""); }

// Reports message `id` of the daemon's table with one or two insertion
// strings, with the event type the message's severity gives.
inline void LogOne(std::uint32_t id, std::string_view text) {
  PrepaxLog().ReportOneString(EventTypeOf(id), id, text);
}
inline void LogTwo(std::uint32_t id, std::string_view first, std::string_view second) {
  PrepaxLog().ReportTwoStrings(EventTypeOf(id), id, first, second);
}

}  // namespace ringwell::prepax
