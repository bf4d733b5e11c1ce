#include "pager_helper.h"

#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

constexpr char kStepOperation[] = "CPagerHelper::ProcessDialRequests";

class PagerHelperTest : public SchedulerTest {
 protected:
  static RequestSpec Page(std::vector<std::string> numbers, std::string id = RequestSpec().id) {
    return {.id = std::move(id), .type = "Page", .recipients = std::move(numbers)};
  }
  // Queues `spec` and runs the pager (on no line) until the request is done.
  void Run(const RequestSpec& spec) {
    Queue(spec);
    CPagerHelper helper(pager_.Get(), 0, state_);
    EXPECT_TRUE(WaitUntil([&] { return !Queued(spec); }));
  }
  void ExpectRetriedAndFailed(const std::vector<std::string>& numbers) {
    for (const std::string& number : numbers) {
      EXPECT_THAT(tallier_->Statuses(number),
                  ElementsAre("InProgress", "Scheduled", "InProgress", "Failed"))
          << number;
    }
    EXPECT_EQ(tallier_->Statuses("").back(), "Completed");
  }

  ComPtr<FakePager> pager_ = MakeComObject<FakePager>(*clock_);
};

TEST_F(PagerHelperTest, SevenDuePagesGoInBatchesOfFiveAndTwo) {
  RequestSpec spec = Page({"1", "2", "3", "4", "5", "6", "7"});
  spec.services = {{"1", "Alpha"}};
  Run(spec);

  EXPECT_THAT(pager_->Batches(),
              ElementsAre(ElementsAre("1", "2", "3", "4", "5"), ElementsAre("6", "7")));
  EXPECT_EQ(pager_->Calls()[0].detail, "Alpha");  // the service goes with its number
  EXPECT_EQ(pager_->Calls()[1].detail, "");
  for (const std::string& number : spec.recipients) {
    EXPECT_THAT(tallier_->Statuses(number), ElementsAre("InProgress", "Sent")) << number;
    EXPECT_THAT(tallier_->Results(number), SizeIs(1)) << number;
  }
  EXPECT_THAT(tallier_->Statuses(""), SizeIs(8));  // "InProgress" per page, then "Completed"
  EXPECT_EQ(tallier_->Statuses("").back(), "Completed");
  // Every batch is followed by the pause.
  EXPECT_EQ(std::ranges::count(clock_->Sleeps(), std::chrono::milliseconds(5000)), 2);
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(PagerHelperTest, ABatchTakesTheDueEntriesInOrderUpToTheFirstThatIsNotDue) {
  const double year = 60 * 24 * 365;
  RequestSpec closed = Page({"0"}, "{B0}");  // fails without being sent
  closed.start = IsoAtMinute(-120);
  closed.stop = IsoAtMinute(-60);
  RequestSpec later = Page({"2"}, "{B2}");
  later.start = IsoAtMinute(year);
  later.stop = IsoAtMinute(year + 1);
  // Due because its window closed, but queued behind the one that is not due.
  RequestSpec behind = Page({"3"}, "{B3}");
  behind.start = IsoAtMinute(year + 1);
  behind.stop = IsoAtMinute(-1);
  for (const RequestSpec& spec : {closed, later, behind}) Queue(spec);
  Run(Page({"1"}));
  {
    CPagerHelper helper(pager_.Get(), 0, state_);
    const std::size_t polls = clock_->Sleeps().size();
    EXPECT_TRUE(WaitUntil([&] { return clock_->Sleeps().size() >= polls + 10; }));
  }
  EXPECT_THAT(pager_->Batches(), ElementsAre(ElementsAre("1")));
  EXPECT_THAT(tallier_->Statuses("0"), ElementsAre("Failed"));
  EXPECT_THAT(tallier_->Statuses("1"), ElementsAre("InProgress", "Sent"));
  EXPECT_THAT(tallier_->Statuses(""), ElementsAre("Completed", "InProgress", "Completed"));
  EXPECT_THAT(Numbers(state_.page_queue()), ElementsAre("2", "3"));
  EXPECT_TRUE(RequestFilesGone(closed));
}

TEST_F(PagerHelperTest, AResultThatCannotBeReadFailsOnlyItsPageUnderTheErrorRule) {
  RequestSpec spec = Page({"1", "2", "3"});
  spec.error = {1, 2};
  bool first = true;
  pager_->answer = [&](const std::string& number) {
    if (number == "1")
      return Reply{S_OK, std::exchange(first, false) ? "not XML" : CallResult("Sent", "Failed")};
    return Reply{S_OK, number == "2" ? "<Call/>" : CallResult("Sent", "Sent")};
  };
  Run(spec);

  EXPECT_THAT(pager_->Batches(), ElementsAre(ElementsAre("1", "2", "3"), ElementsAre("1", "2")));
  ExpectRetriedAndFailed({"1", "2"});
  EXPECT_THAT(tallier_->Statuses("3"), ElementsAre("InProgress", "Sent"));
  const auto errors = Events(dialqueue_msg::kErrorIn, "CPagerHelper::ProcessPagerRequests");
  ASSERT_THAT(errors, SizeIs(1));
  EXPECT_EQ(errors[0].text, "Error in CPagerHelper::ProcessPagerRequests: Unspecified error.\r\n");
  EXPECT_EQ(errors[0].request_id, spec.id);
  EXPECT_THAT(Events(dialqueue_msg::kXmlErrorIn, kStepOperation), SizeIs(2));  // no "Status"
}

TEST_F(PagerHelperTest, AFailingPagerFailsItsPagesUnderTheErrorRule) {
  RequestSpec spec = Page({"1", "2"});
  spec.error = {1, 0};
  pager_->answer = [](const std::string&) { return Reply{E_FAIL, ""}; };
  Run(spec);

  EXPECT_THAT(pager_->Batches(), SizeIs(2));
  ExpectRetriedAndFailed({"1", "2"});
  EXPECT_THAT(tallier_->Results("1"), IsEmpty());
  EXPECT_THAT(Events(dialqueue_msg::kXmlErrorIn, kStepOperation), SizeIs(2));
  EXPECT_TRUE(RequestFilesGone(spec));
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
