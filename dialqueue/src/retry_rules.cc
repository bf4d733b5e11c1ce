#include "retry_rules.h"

#include "ringwell/common/text.h"

namespace ringwell::dialqueue {

RetryRule RuleFor(std::string_view answer, std::string_view status, bool page) {
  if (!page && EqualsIgnoringCase(answer, "Busy")) return RetryRule::kBusy;
  if (!page && EqualsIgnoringCase(answer, "NoAnswer")) return RetryRule::kNoAnswer;
  if (EqualsIgnoringCase(status, "Failed")) return RetryRule::kError;
  return RetryRule::kNone;
}

bool SpendRetry(CQueueEntry& entry, RetryRule rule, OleDate from) {
  std::int32_t* attempts = nullptr;
  std::int32_t delay = 0;
  switch (rule) {
    case RetryRule::kBusy:
      attempts = &entry.NumberOfAttemptsIfBusy, delay = entry.DelayIfBusy;
      break;
    case RetryRule::kNoAnswer:
      attempts = &entry.NumberOfAttemptsIfNoAnswer, delay = entry.DelayIfNoAnswer;
      break;
    case RetryRule::kError:
      attempts = &entry.NumberOfAttemptsIfError, delay = entry.DelayIfError;
      break;
    case RetryRule::kNone:
      return false;
  }
  if (*attempts <= 0) return false;
  entry.NextTime = AddMinutes(from, delay);
  --*attempts;
  return true;
}

}  // namespace ringwell::dialqueue
