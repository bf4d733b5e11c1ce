// The retry rules of the workers: which rule a call's or a page's outcome
// falls under, and spending one retry of that rule on an entry. The line
// workers, the pager worker and the intake (which replays the attempts a
// report already holds after a restart) share them.
//
// Thread-safety: pure functions on the caller's entry.
#pragma once

#include <string_view>

#include "queue_entry.h"

namespace ringwell::dialqueue {

enum class RetryRule { kNone, kBusy, kNoAnswer, kError };

// The rule an outcome falls under, comparing without regard to case: a call
// answered "Busy", then "NoAnswer", then a status "Failed" (error rule); a
// page knows only the error rule. Any other outcome is final (kNone).
RetryRule RuleFor(std::string_view answer, std::string_view status, bool page);

// Spends one retry of `rule`: when the entry has one left, its next attempt
// is due `from` plus the rule's delay, the count goes down by one and the
// result is true. False, changing nothing, for kNone or when none is left.
bool SpendRetry(CQueueEntry& entry, RetryRule rule, OleDate from);

}  // namespace ringwell::dialqueue
