#include "line_dispatcher.h"

#include "modem_helper.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

// Lines whose calls last until the test lets them end; each call records its
// line.
class LineDispatcherTest : public SchedulerTest {
 protected:
  void TearDown() override {
    Release();
    lines_.clear();
    dispatcher_.reset();
    SchedulerTest::TearDown();
  }

  // Adds dispatched lines with these numbers, in this order.
  void AddLines(const std::vector<int>& numbers) {
    for (int number : numbers) {
      auto modem = MakeComObject<FakeModem>(*clock_);
      modem->answer = [this, number](const std::string& called) {
        std::unique_lock lock(mutex_);
        calls_.emplace_back(called, number);
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
        return Reply{};
      };
      lines_.push_back(
          std::make_unique<CModemHelper>(modem.Get(), number, state_, dispatcher_.get()));
    }
    ASSERT_TRUE(WaitUntil([&] { return dispatcher_->WaitingLines() == numbers.size(); }));
  }
  // Waits until `count` calls are going on; (number, line) of each so far.
  std::vector<std::pair<std::string, int>> WaitForCalls(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return calls_.size() >= count; });
    return calls_;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  void QueueNumbers(const std::string& id, std::vector<std::string> numbers) {
    RequestSpec spec;
    spec.id = id;
    spec.recipients = std::move(numbers);
    Queue(spec);
  }

  std::unique_ptr<LineDispatcher> dispatcher_ = std::make_unique<LineDispatcher>(state_);
  std::vector<std::unique_ptr<CModemHelper>> lines_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<std::string, int>> calls_;
  bool released_ = false;
};

using Calls = std::vector<std::pair<std::string, int>>;

TEST_F(LineDispatcherTest, EachDueEntryGoesToTheLowestNumberedFreeLine) {
  AddLines({3, 1, 2, 4});
  QueueNumbers("{A}", {"5550001"});
  EXPECT_EQ(WaitForCalls(1), (Calls{{"5550001", 1}}));
  // Line 2 is the pager's just now: the next entry goes to line 3.
  ASSERT_TRUE(state_.lines().TryAcquire(2));
  QueueNumbers("{B}", {"5550002"});
  EXPECT_EQ(WaitForCalls(2), (Calls{{"5550001", 1}, {"5550002", 3}}));
  state_.lines().ReleaseLine(2);
  QueueNumbers("{C}", {"5550003", "5550004"});
  EXPECT_THAT(WaitForCalls(4),
              ::testing::UnorderedElementsAre(std::pair<std::string, int>{"5550001", 1},
                                              std::pair<std::string, int>{"5550002", 3},
                                              std::pair<std::string, int>{"5550003", 2},
                                              std::pair<std::string, int>{"5550004", 4}));
  // With every line busy the next entry waits for a line to end.
  QueueNumbers("{D}", {"5550005"});
  Release();
  EXPECT_THAT(WaitForCalls(5), SizeIs(5));
  EXPECT_TRUE(WaitUntil([&] { return state_.dial_queue().Size() == 0; }));
  EXPECT_THAT(tallier_->Statuses("5550005"), ElementsAre("InProgress", "Completed"));
}

TEST_F(LineDispatcherTest, ABurstGoesOutOnAllLinesAtOnceAndEntriesNotDueWait) {
  std::vector<int> numbers;
  for (int line = 1; line <= 32; ++line) numbers.push_back(line);
  AddLines(numbers);
  RequestSpec later;
  later.id = "{LATER}";
  later.start = IsoAtMinute(60);
  later.recipients = {"5559999"};
  Queue(later);
  std::vector<std::string> burst;
  for (int i = 0; i < 32; ++i) burst.push_back("555" + std::to_string(1000 + i));
  QueueNumbers("{BURST}", burst);
  // Every line takes one call of the burst; the entry not yet due is left.
  const Calls calls = WaitForCalls(32);
  std::set<int> lines;
  for (const auto& [number, line] : calls) lines.insert(line);
  EXPECT_THAT(lines, SizeIs(32));
  EXPECT_THAT(Numbers(state_.dial_queue()), ::testing::Contains("5559999"));
  EXPECT_EQ(std::ranges::count(calls, std::string("5559999"), &Calls::value_type::first), 0);
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
