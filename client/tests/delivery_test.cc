// Whom a request reached, as kel and the HTTP API say it beside the status.
#include "delivery.h"

#include <gtest/gtest.h>

namespace ringwell::kel::client {
namespace {

RecipientFacts Finished(const std::string& status, int calls = 0, const std::string& answer = "",
                        const std::string& error = "") {
  return {.status = status,
          .calls = calls,
          .last_answer = answer,
          .last_status = calls > 0 ? status : "",
          .last_error = error};
}

TEST(DeliveryTest, ARequestThatReachedNobodySaysWhy) {
  // The scheduler finishes a recipient whose window closed with "Failed"
  // and no call: the request still ends "Completed".
  Delivery delivery = Tally({Finished("Failed")});
  EXPECT_EQ(delivery.outcome, "delivered to 0 of 1: window ended before any call");
  EXPECT_EQ(delivery.reached, 0);
  EXPECT_EQ(delivery.failed, 1);
  EXPECT_EQ(delivery.pending, 0);

  delivery = Tally({Finished("Failed", 1, "Failed",
                             "Registration at sip:pbx.example.com failed: 401 Unauthorized."),
                    Finished("Failed", 2, "Failed",
                             "Registration at sip:pbx.example.com failed: 401 Unauthorized.")});
  EXPECT_EQ(delivery.outcome, "delivered to 0 of 2: registration failed (401 Unauthorized)");

  delivery = Tally({Finished("Failed", 1, "Failed", "503 Service Unavailable")});
  EXPECT_EQ(delivery.outcome, "delivered to 0 of 1: line error (503 Service Unavailable)");
}

TEST(DeliveryTest, MixedEndingsAreCountedAndPendingRecipientsNamed) {
  const Delivery delivery =
      Tally({Finished("Completed", 1), Finished("Busy", 3, "Busy"), Finished("NoAnswer", 3),
             Finished("Busy", 3, "Busy"), Finished("Scheduled", 1), Finished("InProgress"),
             Finished("Failed", 2, "NoAnswer")});
  EXPECT_EQ(delivery.total, 7);
  EXPECT_EQ(delivery.reached, 1);
  EXPECT_EQ(delivery.failed, 4);
  EXPECT_EQ(delivery.pending, 2);
  EXPECT_EQ(delivery.outcome,
            "delivered to 1 of 7: busy (2), no answer (1), window ended after no answer (1); 2 "
            "pending");
}

TEST(DeliveryTest, PagesCanceledAndPreparationFailures) {
  EXPECT_EQ(Tally({Finished("Sent", 1), Finished("Sent", 1)}).outcome, "delivered to 2 of 2");
  EXPECT_EQ(Tally({Finished("Canceled"), Finished("Completed", 1)}).outcome,
            "delivered to 1 of 2: canceled");
  // A message that could not be left whole on a voicemail is no delivery.
  EXPECT_EQ(Tally({Finished("LeftIncomplete", 1, "Answered"), Finished("Completed", 1)}).outcome,
            "delivered to 1 of 2: message left incomplete on a voicemail");
  EXPECT_EQ(Tally({Finished("ErrorNoFile")}).outcome,
            "delivered to 0 of 1: a recording was not in the file store");
  EXPECT_EQ(Tally({Finished(""), Finished("Processing")}).outcome,
            "delivered to 0 of 2; 2 pending");
  EXPECT_EQ(ToJson(Tally({Finished("Completed", 1), Finished("Busy", 1, "Busy")})),
            nlohmann::json({{"reached", 1}, {"failed", 1}, {"pending", 0}, {"total", 2}}));
}

}  // namespace
}  // namespace ringwell::kel::client
