// How a SIP line's attempt to reach a callee ended, before any message
// played: the outcome that drives the scheduler's retry rules (an answer, a
// busy line, no answer, a failure), with the SIP reply behind it.
//
// Thread-safety: plain values and a pure function.
#pragma once

#include <string>
#include <vector>

namespace ringwell::host::sip {

enum class DialOutcome { kAnswered, kBusy, kNoAnswer, kFailed };

// The outcome of a call that the final reply `code` ended: a 2xx reply
// answers it; 486 Busy Here and 600 Busy Everywhere mean a busy line; 408
// Request Timeout, 480 Temporarily Unavailable and 487 Request Terminated (a
// call cancelled while it rang) mean no answer; every other reply fails the
// call.
DialOutcome OutcomeOfFinalReply(int code);

struct DialResult {
  DialOutcome outcome = DialOutcome::kFailed;
  int code = 0;        // the last SIP reply of note (0: none)
  std::string reason;  // its reason phrase
  std::string error;   // what failed, for kFailed
  std::vector<std::string> protocol;
};

}  // namespace ringwell::host::sip
