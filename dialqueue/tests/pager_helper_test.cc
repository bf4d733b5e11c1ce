#include "pager_helper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "intake.h"
#include "modem_helper.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

class PagerHelperTest : public SchedulerTest {
 protected:
  void SetUp() override {
    speed_ = 100;
    SchedulerTest::SetUp();
    pager_ = MakeComObject<FakePager>();
  }

  static RequestSpec Page(std::vector<std::string> numbers) {
    RequestSpec spec;
    spec.type = "Page";
    spec.recipients = std::move(numbers);
    return spec;
  }

  void Queue(const RequestSpec& spec) {
    WriteRequest(spec);
    ASSERT_EQ(QueueRequestFile(RequestPath(spec), *state_), S_OK);
  }

  void RunUntilDone(const RequestSpec& spec) {
    CPagerHelper helper(pager_.Get(), 0, *state_);
    EXPECT_TRUE(WaitUntil([&] { return !state_->page_queue().ContainsId(spec.id); }));
  }

  ComPtr<FakePager> pager_;
};

TEST_F(PagerHelperTest, SevenDuePagesGoInBatchesOfFiveAndTwo) {
  const RequestSpec spec = Page({"1", "2", "3", "4", "5", "6", "7"});
  Queue(spec);
  RunUntilDone(spec);

  const std::vector<PageBatch> batches = pager_->Batches();
  ASSERT_THAT(batches, SizeIs(2));
  EXPECT_THAT(batches[0].numbers, ElementsAre("1", "2", "3", "4", "5"));
  EXPECT_THAT(batches[1].numbers, ElementsAre("6", "7"));
  for (const char* number : {"1", "4", "7"}) {
    EXPECT_THAT(tallier_->Statuses(number), ElementsAre("InProgress", "Sent")) << number;
    EXPECT_EQ(tallier_->ResultCount(number), 1u);
  }
  EXPECT_EQ(tallier_->Statuses("").back(), "Completed");
  EXPECT_EQ(tallier_->Statuses("").size(), 8u);
  EXPECT_TRUE(RequestFilesGone(spec));
  // Every batch is followed by the pause.
  std::size_t pauses = 0;
  for (auto sleep : clock_->Sleeps()) pauses += sleep == std::chrono::milliseconds(5000);
  EXPECT_EQ(pauses, 2u);
}

TEST_F(PagerHelperTest, AnEntryThatIsNotDueEndsTheBatch) {
  RequestSpec due = Page({"1"});
  Queue(due);
  RequestSpec later = Page({"2"});
  later.id = "{00000000-0000-0000-0000-0000000000B2}";
  later.start = IsoMinutesFromStart(60 * 24 * 365);
  later.stop = IsoMinutesFromStart(60 * 24 * 366);
  Queue(later);
  // Due because its window closed, but behind the one that is not due.
  RequestSpec closed = Page({"3"});
  closed.id = "{00000000-0000-0000-0000-0000000000B3}";
  closed.start = IsoMinutesFromStart(60 * 24 * 365 + 1);
  closed.stop = IsoMinutesFromStart(-1);
  Queue(closed);
  {
    CPagerHelper helper(pager_.Get(), 0, *state_);
    EXPECT_TRUE(WaitUntil([&] { return !state_->page_queue().ContainsId(due.id); }));
    const std::size_t polls = clock_->Sleeps().size();
    EXPECT_TRUE(WaitUntil([&] { return clock_->Sleeps().size() >= polls + 10; }));
  }
  ASSERT_THAT(pager_->Batches(), SizeIs(1));
  EXPECT_THAT(pager_->Batches()[0].numbers, ElementsAre("1"));
  EXPECT_TRUE(state_->page_queue().ContainsId(closed.id));
}

TEST_F(PagerHelperTest, APageResultThatIsNotXmlIsRetried) {
  RequestSpec spec = Page({"1"});
  spec.error_attempts = 1;
  spec.error_delay = 2;
  pager_->Script("1", {"garbage", CallResult("Sent", "Failed")});
  Queue(spec);
  RunUntilDone(spec);

  EXPECT_THAT(pager_->Batches(), SizeIs(2));
  EXPECT_THAT(tallier_->Statuses("1"),
              ElementsAre("InProgress", "Scheduled", "InProgress", "Failed"));
  const auto events = Events(dialqueue_msg::kErrorIn, "CPagerHelper::ProcessPagerRequests");
  ASSERT_THAT(events, SizeIs(1));
  EXPECT_EQ(events[0].text, "Error in CPagerHelper::ProcessPagerRequests: Unspecified error.\r\n");
  EXPECT_EQ(tallier_->Statuses("").back(), "Completed");
}

TEST_F(PagerHelperTest, AFailingPagerCountsAsFailedPagesUnderTheErrorRule) {
  RequestSpec spec = Page({"1", "2"});
  spec.error_attempts = 1;
  pager_->FailWith(E_FAIL);
  Queue(spec);
  RunUntilDone(spec);

  EXPECT_THAT(pager_->Batches(), SizeIs(2));
  for (const char* number : {"1", "2"}) {
    EXPECT_THAT(tallier_->Statuses(number),
                ElementsAre("InProgress", "Scheduled", "InProgress", "Failed"));
    EXPECT_EQ(tallier_->ResultCount(number), 0u);
  }
  EXPECT_THAT(Events(dialqueue_msg::kXmlErrorIn, "CPagerHelper::ProcessDialRequests"), SizeIs(2));
  EXPECT_EQ(tallier_->Statuses("").back(), "Completed");
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(PagerHelperTest, AResultWithoutStatusFailsOnlyItsPage) {
  RequestSpec spec = Page({"1", "2"});
  pager_->Script("1", {"<Call/>"});
  Queue(spec);
  RunUntilDone(spec);

  EXPECT_THAT(tallier_->Statuses("1"), ElementsAre("InProgress", "Failed"));
  EXPECT_THAT(tallier_->Statuses("2"), ElementsAre("InProgress", "Sent"));
  EXPECT_THAT(Events(dialqueue_msg::kXmlErrorIn, "CPagerHelper::ProcessDialRequests"), SizeIs(1));
}

TEST_F(PagerHelperTest, ServicesGoWithTheirNumbers) {
  RequestSpec spec = Page({"1", "2"});
  spec.services = {{"1", "Alpha"}};
  Queue(spec);
  RunUntilDone(spec);

  ASSERT_THAT(pager_->Batches(), SizeIs(1));
  EXPECT_THAT(pager_->Batches()[0].services, ElementsAre("Alpha", ""));
}

TEST_F(PagerHelperTest, ABatchThatEndedBeforeSendingStillReachesThePager) {
  RequestSpec spec = Page({"1"});
  spec.start = IsoMinutesFromStart(-120);
  spec.stop = IsoMinutesFromStart(-60);
  Queue(spec);
  RunUntilDone(spec);

  ASSERT_THAT(pager_->Batches(), SizeIs(1));
  EXPECT_THAT(pager_->Batches()[0].numbers, IsEmpty());
  EXPECT_THAT(tallier_->Statuses("1"), ElementsAre("Failed"));
  EXPECT_THAT(tallier_->Statuses(""), ElementsAre("Completed"));
}

TEST_F(PagerHelperTest, AModemAndAPagerOnOneLineTakeTurns) {
  // Both devices note when they are busy; the line must never be in two
  // calls at once.
  std::atomic<int> busy{0};
  std::atomic<bool> overlap{false};
  auto enter = [&] {
    if (busy.fetch_add(1) != 0) overlap = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    busy.fetch_sub(1);
  };
  auto modem = MakeComObject<FakeModem>(clock_.get());
  modem->OnCall([&](const std::string&) { enter(); });

  RequestSpec calls;
  calls.id = "{00000000-0000-0000-0000-0000000000CA}";
  calls.recipients.clear();
  for (int i = 0; i < 10; ++i) calls.recipients.push_back("55500" + std::to_string(10 + i));
  Queue(calls);
  RequestSpec pages = Page({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"});
  Queue(pages);
  struct LinePager final : ComObject<IPager> {
    ComPtr<FakePager> inner;
    std::function<void()> enter;
    HRESULT Describe(std::string* d) override { return inner->Describe(d); }
    HRESULT SendPages(std::int32_t count, const char* const* numbers, const char* const* services,
                      const char* const* xmls, std::vector<std::string>* results) override {
      enter();
      return inner->SendPages(count, numbers, services, xmls, results);
    }
  };
  auto pager = MakeComObject<LinePager>();
  pager->inner = pager_;
  pager->enter = enter;
  {
    CModemHelper modem_line(modem.Get(), 4, *state_);
    CPagerHelper pager_line(pager.Get(), 4, *state_);
    EXPECT_TRUE(WaitUntil([&] {
      return !state_->dial_queue().ContainsId(calls.id) &&
             !state_->page_queue().ContainsId(pages.id);
    }));
  }
  EXPECT_FALSE(overlap);
  EXPECT_EQ(modem->Calls().size(), 10u);
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
