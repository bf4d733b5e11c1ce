// The event source of the SIP lines, "Ringwell Host", and its event
// identifiers: a registration that failed or succeeded, RTP senders that
// run without the real-time priority they asked for, and a limit on open
// files too low for the lines.
//
// Thread-safety: SipEvents may be called from any thread.
#pragma once

#include <cstdint>

#include "ringwell/common/event_log.h"

namespace ringwell::host::sip {

inline constexpr std::uint32_t kRegistrationFailedEvent = 1301;
inline constexpr std::uint32_t kRegisteredEvent = 1302;
inline constexpr std::uint32_t kNoRealtimePriorityEvent = 1303;
inline constexpr std::uint32_t kFewOpenFilesEvent = 1304;

// The one event log of the SIP lines (made on first use).
const CEventLog& SipEvents();

}  // namespace ringwell::host::sip
