// Whom a request reached: the counts and the one-line outcome that `kel ls`,
// `kel report` (table, JSON, --wait) and the HTTP API show beside the report's
// status words. A status such as "Completed" only says that the scheduler is
// done; this says how it went for the people behind the numbers.
//
// A recipient is reached when its final status is "Completed" (a call that was
// answered and played) or "Sent" (a page the pager delivered); failed when it
// has any other final status (busy, no answer, a failed call, a window that
// ended, a cancellation, a request that could not be prepared); pending while
// it has no final status yet.
//
// Thread-safety: pure functions.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ringwell::kel::client {

// What the report tells of one recipient: its status and its last call.
struct RecipientFacts {
  std::string status;
  int calls = 0;
  std::string last_answer;  // of the last call, when there is one
  std::string last_status;
  std::string last_error;
};

struct Delivery {
  int reached = 0;
  int failed = 0;
  int pending = 0;
  int total = 0;
  // "delivered to 0 of 1: window ended before any call"; with recipients not
  // yet done: "delivered to 1 of 3: busy; 1 pending".
  std::string outcome;
};

// The counts and the outcome of a request whose recipients are `recipients`.
Delivery Tally(const std::vector<RecipientFacts>& recipients);

// Why a recipient with a final status was not reached, in a few words
// ("busy", "no answer", "window ended before any call", "registration failed
// (401 Unauthorized)", "canceled", ...); empty for one that was reached.
std::string UnreachedReason(const RecipientFacts& recipient);

// {"reached": n, "failed": n, "pending": n, "total": n}
nlohmann::json ToJson(const Delivery& delivery);

}  // namespace ringwell::kel::client
