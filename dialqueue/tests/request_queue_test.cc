#include "request_queue.h"

#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

CQueueEntry Entry(std::string id, std::string number, OleDate next) {
  CQueueEntry entry;
  entry.Id = std::move(id);
  entry.PhoneNumber = std::move(number);
  entry.NextTime = next;
  return entry;
}

TEST(RequestQueueTest, KeepsEntriesInTimeOrderAndEqualTimesInPushOrder) {
  CRequestQueue queue;
  queue.Push(Entry("A", "late", 45000.5));
  queue.Push(Entry("A", "first-equal", 45000.25));
  queue.Push(Entry("B", "second-equal", 45000.25));
  queue.Push(Entry("B", "invalid", kInvalidDate));
  // Dates before 30 December 1899 count on the linear scale: -1.25 (29
  // December, 06:00) comes before -1.75 (29 December, 18:00).
  queue.Push(Entry("C", "dec29-18h", -1.75));
  queue.Push(Entry("C", "dec29-06h", -1.25));
  EXPECT_THAT(Numbers(queue), ElementsAre("invalid", "dec29-06h", "dec29-18h", "first-equal",
                                          "second-equal", "late"));
}

TEST(RequestQueueTest, CountsTheUntakenEntriesThatAreDue) {
  CRequestQueue queue;
  queue.Push(Entry("A", "1", 10));
  queue.Push(Entry("A", "2", 10.5));
  queue.Push(Entry("B", "3", 11));
  queue.Push(Entry("B", "4", 12));
  EXPECT_EQ(queue.CountDue(9), 0u);
  EXPECT_EQ(queue.CountDue(11), 3u);
  queue.MarkFirstFreeTaken();  // on a line now: not waiting any more
  EXPECT_EQ(queue.CountDue(11), 2u);
  EXPECT_EQ(queue.Size(), 4u);
}

TEST(RequestQueueTest, TakenEntriesAreSkippedAndARetryGoesBehindEqualTimes) {
  CRequestQueue queue;
  queue.Push(Entry("A", "1", 10));
  queue.Push(Entry("A", "2", 10));
  CQueueEntry first;
  ASSERT_TRUE(queue.PeekFirstFree(&first));
  EXPECT_EQ(first.PhoneNumber, "1");
  queue.MarkFirstFreeTaken();
  CQueueEntry next;
  ASSERT_TRUE(queue.PeekFirstFree(&next));
  EXPECT_EQ(next.PhoneNumber, "2");

  // The worker of "1" plans a retry at the same time: it goes behind "2" and
  // is free again.
  queue.Remove("A", "1");
  first.Taken = true;
  queue.Push(first);
  EXPECT_THAT(Numbers(queue), ElementsAre("2", "1"));
  EXPECT_FALSE(queue.Snapshot()[1].Taken);

  queue.MarkFirstFreeTaken();
  queue.MarkFirstFreeTaken();
  EXPECT_FALSE(queue.PeekFirstFree(&next));
  queue.MarkFirstFreeTaken();  // nothing free: nothing happens
  EXPECT_EQ(queue.Size(), 2u);
}

TEST(RequestQueueTest, RemoveTakesTheFirstMatchIgnoringCase) {
  CRequestQueue queue;
  queue.Push(Entry("{abc}", "555", 1));
  queue.Push(Entry("{ABC}", "555", 2));
  queue.Push(Entry("{ABC}", "556", 3));
  queue.Remove("{Abc}", "555");
  queue.Remove("{abc}", "999");  // no such number: nothing
  ASSERT_EQ(queue.Size(), 2u);
  EXPECT_DOUBLE_EQ(queue.Snapshot()[0].NextTime, 2);
  EXPECT_TRUE(queue.ContainsId("{aBc}"));
  queue.MarkFirstFreeTaken();
  queue.Remove("{ABC}", "556");
  EXPECT_TRUE(queue.ContainsId("{ABC}"));  // a taken entry counts too
  queue.Remove("{ABC}", "555");
  EXPECT_FALSE(queue.ContainsId("{ABC}"));
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
