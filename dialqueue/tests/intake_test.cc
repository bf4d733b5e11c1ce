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
  // Takes in a request file with the given attributes and inner elements.
  HRESULT Take(const std::string& inner, const std::string& attributes = "") {
    const std::string path = root() + "Requests/raw.xml";
    ringwell::testing::WriteFile(
        path, "<Request ID=\"" + RequestSpec().id + "\"" + attributes + ">" + inner + "</Request>");
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
  ASSERT_EQ(Take(kWindow + std::string("<Recipients><Recipient>77</Recipient></Recipients>"),
                 " Type=\"PAGE\""),
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

TEST_F(IntakeTest, OnlyPageRequestsGoToThePageQueueWithTheirServices) {
  const std::string recipients =
      kWindow + std::string("<Recipients><Recipient Service=\"S1\">1</Recipient></Recipients>");
  for (const std::string type : {"", "Call", "Pager", "Unknown", "page"}) {
    state_.dial_queue().Clear();
    state_.page_queue().Clear();
    ASSERT_EQ(Take(recipients, type.empty() ? "" : " Type=\"" + type + "\""), S_OK) << type;
    CRequestQueue& queue = type == "page" ? state_.page_queue() : state_.dial_queue();
    ASSERT_EQ(state_.dial_queue().Size() + state_.page_queue().Size(), 1u) << type;
    ASSERT_EQ(queue.Size(), 1u) << type;
    EXPECT_EQ(queue.Snapshot()[0].Service, type == "page" ? "S1" : "") << type;
  }
}

TEST_F(IntakeTest, WhichNumbersAreQueued) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      // Blank recipients and comments are skipped, repeated ones kept.
      {"<Recipients><Recipient> </Recipient><Recipient>5</Recipient><!-- not a number -->"
       "<Recipient>\t5\n</Recipient></Recipients>",
       {"5", "5"}},
      {"<Recipients><Recipient>  </Recipient></Recipients>", {}},
      // PhoneNumbers serve only when there are no Recipients.
      {"<PhoneNumbers><PhoneNumber>12</PhoneNumber></PhoneNumbers>", {"12"}},
      {"<PhoneNumbers><PhoneNumber>12</PhoneNumber></PhoneNumbers>"
       "<Recipients><Recipient>34</Recipient></Recipients>",
       {"34"}},
  };
  for (const auto& [inner, numbers] : cases) {
    state_.dial_queue().Clear();
    ASSERT_EQ(Take(kWindow + std::string(inner)), S_OK) << inner;
    EXPECT_EQ(Numbers(state_.dial_queue()), numbers) << inner;
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
