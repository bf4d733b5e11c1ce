#include "intake.h"

#include <array>

#include "ringwell/common/error_info.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

constexpr char kWindow[] =
    "<StartTime dt:dt=\"dateTime\">2024-03-01T09:00:00</StartTime>"
    "<StopTime dt:dt=\"dateTime\">2024-03-02T09:00:00</StopTime>";

class IntakeTest : public SchedulerTest {
 protected:
  // Takes in a request file of `type` (none if empty) with the given elements.
  HRESULT Take(const std::string& inner, const std::string& type = "") {
    const std::string path = root() + "Requests/raw.xml";
    ringwell::testing::WriteFile(path, "<Request ID=\"" + RequestSpec().id + "\"" +
                                           (type.empty() ? "" : " Type=\"" + type + "\"") + ">" +
                                           inner + "</Request>");
    return QueueRequestFile(path, state_);
  }
  static std::array<std::int32_t, 6> Retries(const CQueueEntry& e) {
    return {e.NumberOfAttemptsIfBusy,     e.DelayIfBusy,
            e.NumberOfAttemptsIfNoAnswer, e.DelayIfNoAnswer,
            e.NumberOfAttemptsIfError,    e.DelayIfError};
  }
};

TEST_F(IntakeTest, OneEntryPerRecipientAndARequestIsNotTakenInTwice) {
  RequestSpec spec;
  spec.recipients = {" 5550001 ", "5550002"};
  spec.busy = {2, 5};
  spec.no_answer = {3, 10};
  spec.error = {1, 15};
  Queue(spec);
  state_.dial_queue().MarkFirstFreeTaken();
  ASSERT_EQ(QueueRequestFile(RequestPath(spec), state_), S_OK);

  EXPECT_THAT(Numbers(state_.dial_queue()), ElementsAre("5550001", "5550002"));
  const CQueueEntry entry = state_.dial_queue().Snapshot().at(0);
  EXPECT_EQ(entry.RequestFile, RequestPath(spec));
  EXPECT_NEAR(entry.NextTime, AtMinute(-60), 1e-8);
  EXPECT_NEAR(entry.StopTime, AtMinute(24 * 60), 1e-8);
  EXPECT_THAT(Retries(entry), ElementsAre(2, 5, 3, 10, 1, 15));
  // A page request with the same ID lands in the page queue.
  ASSERT_EQ(
      Take(kWindow + std::string("<Recipients><Recipient>77</Recipient></Recipients>"), "PAGE"),
      S_OK);
  EXPECT_THAT(Numbers(state_.page_queue()), ElementsAre("77"));
}

TEST_F(IntakeTest, RetryPairsAreReadAsSixteenBitValuesPairByPair) {
  ASSERT_EQ(Take(std::string(kWindow) +
                 "<Recipients><Recipient>1</Recipient></Recipients>"
                 "<NumberOfAttemptsIfBusy dt:dt=\"int\">40000</NumberOfAttemptsIfBusy>"
                 "<DelayIfBusy dt:dt=\"int\">5</DelayIfBusy>"
                 "<NumberOfAttemptsIfNoAnswer dt:dt=\"int\">-3</NumberOfAttemptsIfNoAnswer>"
                 "<DelayIfNoAnswer dt:dt=\"int\">-7</DelayIfNoAnswer>"
                 "<NumberOfAttemptsIfError dt:dt=\"int\">4</NumberOfAttemptsIfError>"
                 "<DelayIfError dt:dt=\"int\">soon</DelayIfError>"),
            S_OK);
  EXPECT_THAT(Retries(state_.dial_queue().Snapshot().at(0)), ElementsAre(0, 0, 0, 0, 4, 0));
}

TEST_F(IntakeTest, WhatIsQueuedWhere) {
  const std::string one = "<Recipients><Recipient Service=\"S1\">1</Recipient></Recipients>";
  struct Case {
    std::string type, inner;
    std::vector<std::string> calls, pages;
  };
  // clang-format off
  const Case cases[] = {
      // Only "Page", in any case, makes a page request; only pages keep their Service.
      {"", one, {"1"}, {}},
      {"Pager", one, {"1"}, {}},
      {"Unknown", one, {"1"}, {}},
      {"page", one, {}, {"1 S1"}},
      // Blank recipients and comments are skipped, repeated ones kept.
      {"Call", "<Recipients><Recipient> </Recipient><Recipient>5</Recipient><!-- 6 -->"
               "<Recipient>\t5\n</Recipient></Recipients>", {"5", "5"}, {}},
      {"Call", "<Recipients><Recipient>  </Recipient></Recipients>", {}, {}},
      // PhoneNumbers serve only when there are no Recipients.
      {"Call", "<PhoneNumbers><PhoneNumber>12</PhoneNumber></PhoneNumbers>", {"12"}, {}},
      {"Call", "<PhoneNumbers><PhoneNumber>12</PhoneNumber></PhoneNumbers>" + one, {"1"}, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    state_.dial_queue().Clear();
    state_.page_queue().Clear();
    ASSERT_EQ(Take(kWindow + c.inner, c.type), S_OK) << c.type << c.inner;
    EXPECT_EQ(Numbers(state_.dial_queue()), c.calls) << c.type << c.inner;
    EXPECT_EQ(Numbers(state_.page_queue()), c.pages) << c.type << c.inner;
  }
}

TEST_F(IntakeTest, RequestsThatCannotBeReadThrowAfterQueueingWhatWasRead) {
  for (const char* inner : {
           "<Recipients><Recipient>1</Recipient></Recipients>",  // no window
           "<StartTime>2024-03-01T09:00:00</StartTime><Recipients><Recipient>1</Recipient>"
           "</Recipients>",
           "<StartTime/><StopTime/>",  // no recipient container
       }) {
    EXPECT_THROW(Take(inner), ComError) << inner;
  }
  // The request element must come first: a declaration before it fails at "ID".
  ringwell::testing::WriteFile(root() + "Requests/decl.xml",
                               "<?xml version=\"1.0\"?><Request ID=\"{X}\">" +
                                   std::string(kWindow) +
                                   "<Recipients><Recipient>1</Recipient></Recipients></Request>");
  EXPECT_THROW(QueueRequestFile(root() + "Requests/decl.xml", state_), ComError);
  EXPECT_EQ(state_.dial_queue().Size(), 0u);

  EXPECT_THROW(Take(kWindow + std::string("<Recipients><Recipient>1</Recipient>"
                                          "<Recipient dt:dt=\"int\">two</Recipient>"
                                          "<Recipient>3</Recipient></Recipients>")),
               ComError);
  EXPECT_THAT(Numbers(state_.dial_queue()), ElementsAre("1"));
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
