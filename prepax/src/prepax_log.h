// The event log of the preprocessing daemon: source "Ringwell Prepax", the
// daemon's message table, message file the daemon's executable. Everything
// the daemon serves (the speech component, the request processor, the
// service) reports through it.
//
// Thread-safety: built on first use, immutable afterwards; any thread may
// report through it.
#pragma once

#include "ringwell/common/event_log.h"

namespace ringwell::prepax {

inline constexpr char kPrepaxEventSource[] = "Ringwell Prepax";

const CEventLog& PrepaxLog();

}  // namespace ringwell::prepax
