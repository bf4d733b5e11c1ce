#include "intake.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ringwell/common/error_info.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kId[] = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";

class IntakeTest : public SchedulerTest {
 protected:
  // Writes a request file with the given inner elements.
  std::string WriteRaw(const std::string& inner, const std::string& attributes = "",
                       const std::string& name = "raw.xml") {
    const std::string path = root() + "Requests/" + name;
    ringwell::testing::WriteFile(
        path, "<Request ID=\"" + std::string(kId) + "\"" + attributes + ">" + inner + "</Request>");
    return path;
  }
  static std::string Window() {
    return "<StartTime dt:dt=\"dateTime\">2024-03-01T09:00:00</StartTime>"
           "<StopTime dt:dt=\"dateTime\">2024-03-02T09:00:00</StopTime>";
  }
  std::vector<std::string> Numbers(CRequestQueue& queue) {
    std::vector<std::string> numbers;
    for (const CQueueEntry& entry : queue.Snapshot()) numbers.push_back(entry.PhoneNumber);
    return numbers;
  }
};

TEST_F(IntakeTest, OneEntryPerRecipientWithTheRequestsSettings) {
  RequestSpec spec;
  spec.recipients = {" 5550001 ", "5550002"};
  spec.busy_attempts = 2;
  spec.busy_delay = 5;
  spec.no_answer_attempts = 3;
  spec.no_answer_delay = 10;
  spec.error_attempts = 1;
  spec.error_delay = 15;
  const std::string path = WriteRequest(spec);
  ASSERT_EQ(QueueRequestFile(path, *state_), S_OK);

  const std::vector<CQueueEntry> entries = state_->dial_queue().Snapshot();
  ASSERT_EQ(entries.size(), 2u);
  const CQueueEntry& entry = entries[0];
  EXPECT_EQ(entry.Id, spec.id);
  EXPECT_EQ(entry.RequestFile, path);
  EXPECT_EQ(entry.PhoneNumber, "5550001");
  EXPECT_EQ(entry.Service, "");
  EXPECT_NEAR(entry.NextTime, MinutesFromStart(-60), 1e-8);
  EXPECT_NEAR(entry.StopTime, MinutesFromStart(24 * 60), 1e-8);
  EXPECT_EQ(entry.NumberOfAttemptsIfBusy, 2);
  EXPECT_EQ(entry.DelayIfBusy, 5);
  EXPECT_EQ(entry.NumberOfAttemptsIfNoAnswer, 3);
  EXPECT_EQ(entry.DelayIfNoAnswer, 10);
  EXPECT_EQ(entry.NumberOfAttemptsIfError, 1);
  EXPECT_EQ(entry.DelayIfError, 15);
  EXPECT_FALSE(entry.Taken);
  EXPECT_EQ(entries[1].PhoneNumber, "5550002");
  EXPECT_THAT(state_->page_queue().Snapshot(), IsEmpty());
}

TEST_F(IntakeTest, AQueuedRequestIsNotTakenInTwiceButCallsAndPagesAreApart) {
  RequestSpec call;
  const std::string path = WriteRequest(call);
  ASSERT_EQ(QueueRequestFile(path, *state_), S_OK);
  state_->dial_queue().MarkFirstFreeTaken();
  ASSERT_EQ(QueueRequestFile(path, *state_), S_OK);
  EXPECT_EQ(state_->dial_queue().Size(), 1u);

  // A page request with the same ID lands in the page queue.
  const std::string page =
      WriteRaw(Window() + "<Recipients><Recipient>77</Recipient></Recipients>", " Type=\"PAGE\"");
  ASSERT_EQ(QueueRequestFile(page, *state_), S_OK);
  EXPECT_THAT(Numbers(state_->page_queue()), ElementsAre("77"));
}

TEST_F(IntakeTest, TheTypeDecidesTheQueue) {
  const std::string recipients = "<Recipients><Recipient Service=\"S1\">1</Recipient></Recipients>";
  for (const char* type : {"", " Type=\"Call\"", " Type=\"Pager\"", " Type=\"Unknown\""}) {
    state_->dial_queue().Clear();
    ASSERT_EQ(QueueRequestFile(WriteRaw(Window() + recipients, type), *state_), S_OK);
    EXPECT_EQ(state_->dial_queue().Size(), 1u) << type;
    EXPECT_EQ(state_->dial_queue().Snapshot()[0].Service, "") << type;
  }
  ASSERT_EQ(QueueRequestFile(WriteRaw(Window() + recipients, " Type=\"page\""), *state_), S_OK);
  ASSERT_EQ(state_->page_queue().Size(), 1u);
  EXPECT_EQ(state_->page_queue().Snapshot()[0].Service, "S1");
}

TEST_F(IntakeTest, BlankRecipientsAreSkippedAndRepeatedOnesKept) {
  const std::string path =
      WriteRaw(Window() +
               "<Recipients><Recipient> </Recipient><Recipient>5</Recipient>"
               "<!-- not a number --><Recipient>\t5\n</Recipient></Recipients>");
  ASSERT_EQ(QueueRequestFile(path, *state_), S_OK);
  EXPECT_THAT(Numbers(state_->dial_queue()), ElementsAre("5", "5"));

  state_->dial_queue().Clear();
  const std::string none =
      WriteRaw(Window() + "<Recipients><Recipient>  </Recipient></Recipients>");
  EXPECT_EQ(QueueRequestFile(none, *state_), S_OK);
  EXPECT_EQ(state_->dial_queue().Size(), 0u);
}

TEST_F(IntakeTest, RetryPairsAreReadAsSixteenBitValuesPairByPair) {
  const std::string path =
      WriteRaw(Window() +
               "<Recipients><Recipient>1</Recipient></Recipients>"
               "<NumberOfAttemptsIfBusy dt:dt=\"int\">40000</NumberOfAttemptsIfBusy>"
               "<DelayIfBusy dt:dt=\"int\">5</DelayIfBusy>"
               "<NumberOfAttemptsIfNoAnswer dt:dt=\"int\">-3</NumberOfAttemptsIfNoAnswer>"
               "<DelayIfNoAnswer dt:dt=\"int\">-7</DelayIfNoAnswer>"
               "<NumberOfAttemptsIfError dt:dt=\"int\">4</NumberOfAttemptsIfError>"
               "<DelayIfError dt:dt=\"int\">soon</DelayIfError>");
  ASSERT_EQ(QueueRequestFile(path, *state_), S_OK);
  const CQueueEntry entry = state_->dial_queue().Snapshot().at(0);
  EXPECT_EQ(entry.NumberOfAttemptsIfBusy, 0);
  EXPECT_EQ(entry.DelayIfBusy, 0);
  EXPECT_EQ(entry.NumberOfAttemptsIfNoAnswer, 0);
  EXPECT_EQ(entry.DelayIfNoAnswer, 0);
  EXPECT_EQ(entry.NumberOfAttemptsIfError, 4);
  EXPECT_EQ(entry.DelayIfError, 0);
}

TEST_F(IntakeTest, PhoneNumbersServeWhenThereAreNoRecipients) {
  const std::string fallback =
      WriteRaw(Window() + "<PhoneNumbers><PhoneNumber>12</PhoneNumber></PhoneNumbers>");
  ASSERT_EQ(QueueRequestFile(fallback, *state_), S_OK);
  EXPECT_THAT(Numbers(state_->dial_queue()), ElementsAre("12"));

  state_->dial_queue().Clear();
  const std::string both = WriteRaw(Window() +
                                    "<PhoneNumbers><PhoneNumber>12</PhoneNumber></PhoneNumbers>"
                                    "<Recipients><Recipient>34</Recipient></Recipients>");
  ASSERT_EQ(QueueRequestFile(both, *state_), S_OK);
  EXPECT_THAT(Numbers(state_->dial_queue()), ElementsAre("34"));
}

TEST_F(IntakeTest, FilesThatAreNotXmlAreRefused) {
  EXPECT_EQ(QueueRequestFile(root() + "Requests/missing.xml", *state_), S_FALSE);
  ringwell::testing::WriteFile(root() + "Requests/broken.xml", "<Request ID=\"x\">");
  EXPECT_EQ(QueueRequestFile(root() + "Requests/broken.xml", *state_), S_FALSE);
}

TEST_F(IntakeTest, RequestsThatCannotBeReadThrowAfterQueueingWhatWasRead) {
  const char* broken[] = {
      "<Recipients><Recipient>1</Recipient></Recipients>",  // no window
      "<StartTime>2024-03-01T09:00:00</StartTime><Recipients><Recipient>1</Recipient></Recipients>",
      "<StartTime/><StopTime/>",  // no recipient container
  };
  for (const char* inner : broken) {
    EXPECT_THROW(QueueRequestFile(WriteRaw(inner), *state_), ComError) << inner;
  }
  ringwell::testing::WriteFile(root() + "Requests/decl.xml",
                               "<?xml version=\"1.0\"?><Request ID=\"{X}\">" + Window() +
                                   "<Recipients><Recipient>1</Recipient></Recipients></Request>");
  EXPECT_THROW(QueueRequestFile(root() + "Requests/decl.xml", *state_), ComError);
  EXPECT_EQ(state_->dial_queue().Size(), 0u);

  const std::string typed = WriteRaw(Window() +
                                     "<Recipients><Recipient>1</Recipient>"
                                     "<Recipient dt:dt=\"int\">two</Recipient>"
                                     "<Recipient>3</Recipient></Recipients>");
  EXPECT_THROW(QueueRequestFile(typed, *state_), ComError);
  EXPECT_THAT(Numbers(state_->dial_queue()), ElementsAre("1"));
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
