// Which final SIP reply means which outcome of a call.
#include "dial_outcome.h"

#include <gtest/gtest.h>

namespace ringwell::host::sip {
namespace {

TEST(DialOutcomeTest, FinalRepliesGiveTheOutcomesThatDriveTheRetryRules) {
  const struct {
    int code;
    DialOutcome outcome;
  } cases[] = {
      {200, DialOutcome::kAnswered}, {202, DialOutcome::kAnswered}, {486, DialOutcome::kBusy},
      {600, DialOutcome::kBusy},     {408, DialOutcome::kNoAnswer}, {480, DialOutcome::kNoAnswer},
      {487, DialOutcome::kNoAnswer}, {300, DialOutcome::kFailed},   {403, DialOutcome::kFailed},
      {404, DialOutcome::kFailed},   {488, DialOutcome::kFailed},   {500, DialOutcome::kFailed},
      {503, DialOutcome::kFailed},   {603, DialOutcome::kFailed},   {604, DialOutcome::kFailed},
      {0, DialOutcome::kFailed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OutcomeOfFinalReply(c.code), c.outcome) << c.code;
  }
}

}  // namespace
}  // namespace ringwell::host::sip
