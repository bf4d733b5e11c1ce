#include "dial_outcome.h"

namespace ringwell::host::sip {

DialOutcome OutcomeOfFinalReply(int code) {
  if (code >= 200 && code < 300) return DialOutcome::kAnswered;
  switch (code) {
    case 486:
    case 600:
      return DialOutcome::kBusy;
    case 408:
    case 480:
    case 487:
      return DialOutcome::kNoAnswer;
    default:
      return DialOutcome::kFailed;
  }
}

}  // namespace ringwell::host::sip
