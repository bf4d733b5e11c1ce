#include "ringwell/oncall/schedule.h"

#include <gtest/gtest.h>

#include "oncall_testing.h"

namespace ringwell::oncall {
namespace {

using testing::kPeople;
using testing::Utc;
using testing::UtcText;

Schedule Parse(const std::string& tables) {
  return ParseOnCallConfig(std::string(kPeople) + tables, "routes.toml").schedules.at("s");
}

std::vector<std::string> Texts(const std::vector<Handoff>& handoffs) {
  std::vector<std::string> texts;
  for (const Handoff& h : handoffs) texts.push_back(UtcText(h.at) + " " + h.person);
  return texts;
}

// Berlin moves from CET (+1) to CEST (+2) on 29 March 2026 at 02:00 and back
// on 25 October at 03:00: a daily shift keeps handing over at 09:00 local.
TEST(ScheduleTest, DailyShiftEndsAtTheSameLocalHourAcrossDaylightSavingChanges) {
  const Schedule s = Parse(R"(
[schedules.s]
timezone = "Europe/Berlin"
[[schedules.s.rotations]]
people = ["alice", "bob"]
start = 2026-03-27T09:00:00
shift = "1d"
)");
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-27T07:59:59Z")), "");  // before the first shift
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-27T08:00:00Z")), "alice");
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-28T08:00:00Z")), "bob");
  // 29 March: 09:00 is now 07:00 UTC; Bob's shift lasted 23 hours.
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-29T06:59:59Z")), "bob");
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-29T07:00:00Z")), "alice");
  EXPECT_EQ(Texts(NextHandoffs(s, Utc("2026-03-28T12:00:00Z"), 3, Utc("2026-04-30T00:00:00Z"))),
            (std::vector<std::string>{"2026-03-29T07:00:00Z alice", "2026-03-30T07:00:00Z bob",
                                      "2026-03-31T07:00:00Z alice"}));
  // 25 October: back to 08:00 UTC; the shift spanning the change lasts 25 hours.
  EXPECT_EQ(Texts(NextHandoffs(s, Utc("2026-10-24T12:00:00Z"), 2, Utc("2026-12-01T00:00:00Z"))),
            (std::vector<std::string>{"2026-10-25T08:00:00Z alice", "2026-10-26T08:00:00Z bob"}));
  // Nothing beyond the horizon.
  EXPECT_TRUE(NextHandoffs(s, Utc("2026-10-24T12:00:00Z"), 2, Utc("2026-10-25T07:59:59Z")).empty());
}

TEST(ScheduleTest, ShiftsOfHoursCountElapsedTime) {
  const Schedule s = Parse(R"(
[schedules.s]
timezone = "Europe/Berlin"
[[schedules.s.rotations]]
people = ["alice", "bob", "carol"]
start = 2026-03-28T20:00:00
shift = "12h"
)");
  // 20:00 CET = 19:00 UTC; twelve hours later is 07:00 UTC = 09:00 CEST.
  EXPECT_EQ(Texts(NextHandoffs(s, Utc("2026-03-28T19:00:00Z"), 2, Utc("2026-04-30T00:00:00Z"))),
            (std::vector<std::string>{"2026-03-29T07:00:00Z bob", "2026-03-29T19:00:00Z carol"}));
}

// A weekly rotation underneath, business hours on weekdays above it (later
// rotations win where they cover the moment), an override above both.
TEST(ScheduleTest, LaterRotationsWinAndOverridesWinOverRotations) {
  const Schedule s = Parse(R"(
[schedules.s]
timezone = "America/New_York"
[[schedules.s.rotations]]
people = ["alice", "bob"]
start = 2026-06-01T00:00:00
shift = "1w"
[[schedules.s.rotations]]
people = ["carol"]
start = 2026-06-01T00:00:00
shift = "1d"
days = ["mon", "tue", "wed", "thu", "fri"]
hours = "09:00-17:00"
[[schedules.s.overrides]]
person = "dave"
from = 2026-06-03T12:00:00
until = 2026-06-03T14:00:00
)");
  // New York is UTC-4 in June. Monday 1 June.
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-01T12:59:00Z")), "alice");  // 08:59
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-01T13:00:00Z")), "carol");  // 09:00
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-01T21:00:00Z")), "alice");  // 17:00
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-03T16:30:00Z")), "dave");   // the override
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-06T15:00:00Z")), "alice");  // Saturday
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-08T12:00:00Z")), "bob");    // the second week
  EXPECT_EQ(Texts(NextHandoffs(s, Utc("2026-06-03T12:00:00Z"), 4, Utc("2026-07-01T00:00:00Z"))),
            (std::vector<std::string>{"2026-06-03T13:00:00Z carol", "2026-06-03T16:00:00Z dave",
                                      "2026-06-03T18:00:00Z carol", "2026-06-03T21:00:00Z alice"}));
}

// Hours past midnight belong to the day on which they began.
TEST(ScheduleTest, NightHoursBelongToTheEveningTheyBegan) {
  const Schedule s = Parse(R"(
[schedules.s]
timezone = "UTC"
[[schedules.s.rotations]]
people = ["carol"]
start = 2026-06-01T00:00:00
shift = "1w"
days = ["fri"]
hours = "22:00-06:00"
)");
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-05T21:59:59Z")), "");       // Friday evening, before
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-05T23:00:00Z")), "carol");  // Friday night
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-06T05:59:59Z")), "carol");  // Saturday morning, same night
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-06T23:00:00Z")), "");       // Saturday night
  EXPECT_EQ(OnCallAt(s, Utc("2026-06-05T03:00:00Z")), "");       // Thursday's night
}

}  // namespace
}  // namespace ringwell::oncall
