#include "ringwell/oncall/config.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "oncall_testing.h"

namespace ringwell::oncall {
namespace {

using testing::kPeople;

TEST(OnCallConfigTest, ReadsPeopleSchedulesPoliciesAndHeartbeatsBesideRoutes) {
  const std::string text = std::string(kPeople) + R"(
[routes.db]
policy = "critical"

[people.erin]
phone = "5550005"
page = [{number = "erin@example.net", service = "mail"}]
timezone = "America/New_York"
voice = "Female"

[schedules.primary]
timezone = "Europe/Berlin"
[[schedules.primary.rotations]]
people = ["alice", "bob"]
start = 2026-03-23T09:00:00
shift = "1w"
[[schedules.primary.rotations]]
people = ["carol"]
start = "2026-03-23T09:00"
shift = "1d"
days = ["mon", "fri"]
hours = "22:00-06:00"
[[schedules.primary.overrides]]
person = "dave"
from = 2026-04-01T00:00:00
until = 2026-04-02T00:00:00

[policies.critical]
repeat = 2
[[policies.critical.steps]]
notify = ["person:alice"]
wait = "5m"
[[policies.critical.steps]]
notify = ["schedule:primary", "person:erin"]
wait = "30s"

[heartbeats.backup]
every = "1h"
policy = "critical"
)";
  const OnCallConfig config = ParseOnCallConfig(text, "routes.toml");
  ASSERT_EQ(config.people.size(), 5u);
  EXPECT_EQ(config.people.at("erin").name, "erin");  // the key when no name is given
  EXPECT_EQ(config.people.at("erin").page[0]["service"], "mail");
  const Schedule& primary = config.schedules.at("primary");
  ASSERT_EQ(primary.rotations.size(), 2u);
  EXPECT_EQ(primary.rotations[0].shift, Seconds(7 * 86400));
  EXPECT_EQ(primary.rotations[1].start, cctz::civil_second(2026, 3, 23, 9, 0, 0));
  EXPECT_EQ(primary.rotations[1].days, (std::vector<int>{0, 4}));
  EXPECT_EQ(primary.rotations[1].hours, (std::pair{22 * 60, 6 * 60}));
  ASSERT_EQ(primary.overrides.size(), 1u);
  EXPECT_EQ(primary.overrides[0].person, "dave");
  const Policy& critical = config.policies.at("critical");
  EXPECT_EQ(critical.repeat, 2);
  ASSERT_EQ(critical.steps.size(), 2u);
  EXPECT_EQ(critical.steps[1].notify,
            (std::vector<std::string>{"schedule:primary", "person:erin"}));
  EXPECT_EQ(critical.steps[1].wait, Seconds(30));
  EXPECT_EQ(config.heartbeats.at("backup").every, Seconds(3600));
}

TEST(OnCallConfigTest, DurationsHaveOneNumberAndOneUnit) {
  EXPECT_EQ(ParseDuration("30s"), Seconds(30));
  EXPECT_EQ(ParseDuration("5m"), Seconds(300));
  EXPECT_EQ(ParseDuration("2h"), Seconds(7200));
  EXPECT_EQ(ParseDuration("1d"), Seconds(86400));
  EXPECT_EQ(ParseDuration("1w"), Seconds(604800));
  for (const char* bad : {"", "5", "m", "0m", "-5m", "5x", "1.5h", "5 m", "99999999999w"}) {
    EXPECT_FALSE(ParseDuration(bad)) << bad;
  }
  EXPECT_EQ(FormatDuration(Seconds(300)), "5m");
  EXPECT_EQ(FormatDuration(Seconds(90)), "90s");
}

// Every mistake names the file, the table and the key.
TEST(OnCallConfigTest, EveryMistakeNamesFileTableAndKey) {
  const std::string schedule =
      "[schedules.s]\ntimezone = \"Europe/Berlin\"\n[[schedules.s.rotations]]\n";
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"[people.x]\nphone = 5\n", "r.toml: [people.x] phone: must be a text"},
      {"[people.x]\nname = \"X\"\n", "r.toml: [people.x]: needs a phone"},
      {"[people.x]\nphone = \"1\"\nfax = \"2\"\n", "r.toml: [people.x] fax: unknown key"},
      {"[people.x]\nphone = \"1\"\ntimezone = \"Mars/Olympus\"\n",
       "r.toml: [people.x] timezone: \"Mars/Olympus\" is not an IANA time zone"},
      {"[people.\"a/b\"]\nphone = \"1\"\n", "r.toml: [people.a/b]: a name has letters"},
      {"[schedules.s]\ntimezone = \"Nowhere\"\n", "r.toml: [schedules.s] timezone: \"Nowhere\""},
      {"[schedules.s]\n[[schedules.s.rotations]]\n", "r.toml: [schedules.s] timezone: is missing"},
      {schedule + "people = [\"zoe\"]\n",
       "r.toml: [[schedules.s.rotations]] number 1 people: there is no [people.zoe]"},
      {schedule + "people = [\"alice\"]\nstart = 2026-01-01T00:00:00\nshift = \"1y\"\n",
       "r.toml: [[schedules.s.rotations]] number 1 shift: must be a duration"},
      {schedule + "people = [\"alice\"]\nshift = \"1d\"\n",
       "r.toml: [[schedules.s.rotations]] number 1 start: is missing"},
      {schedule + "people = [\"alice\"]\nstart = 2026-01-01\nshift = \"1d\"\n",
       "r.toml: [[schedules.s.rotations]] number 1 start: must be a local date-time"},
      {schedule + "people = [\"alice\"]\nstart = 2026-01-01T00:00:00+01:00\nshift = \"1d\"\n",
       "r.toml: [[schedules.s.rotations]] number 1 start: is a local date-time, without an "
       "offset"},
      {schedule + "people = [\"alice\"]\nstart = 2026-01-01T00:00:00\nshift = \"1d\"\n"
                  "hours = \"9-18\"\n",
       "r.toml: [[schedules.s.rotations]] number 1 hours: must be local hours"},
      {schedule + "people = [\"alice\"]\nstart = 2026-01-01T00:00:00\nshift = \"1d\"\n"
                  "days = [\"monday\"]\n",
       "r.toml: [[schedules.s.rotations]] number 1 days: \"monday\" is not a day"},
      {schedule + "ical = \"/nonexistent/x.ics\"\n",
       "r.toml: [[schedules.s.rotations]] number 1 ical: cannot read /nonexistent/x.ics"},
      {"[policies.p]\n[[policies.p.steps]]\nnotify = [\"team:x\"]\nwait = \"5m\"\n",
       "r.toml: [[policies.p.steps]] number 1 notify: \"team:x\" is neither"},
      {"[policies.p]\n[[policies.p.steps]]\nnotify = [\"schedule:none\"]\nwait = \"5m\"\n",
       "r.toml: [[policies.p.steps]] number 1 notify: there is no [schedules.none]"},
      {"[policies.p]\n[[policies.p.steps]]\nnotify = [\"person:alice\"]\n",
       "r.toml: [[policies.p.steps]] number 1 wait: is missing"},
      {"[policies.p]\nrepeat = -1\n", "r.toml: [policies.p] repeat: must be a whole number"},
      {"[policies.p]\nrepeat = 1\n", "r.toml: [policies.p]: needs at least one"},
      {"[heartbeats.h]\nevery = \"1h\"\npolicy = \"none\"\n",
       "r.toml: [heartbeats.h] policy: there is no [policies.none]"},
      {"[heartbeats.h]\npolicy = \"none\"\nevery = \"1h\"\n",
       "r.toml: [heartbeats.h] policy: there is no [policies.none]"},
      {"[people.x\n", "r.toml: line 14, column 10"},
  };
  for (const auto& c : cases) {
    try {
      ParseOnCallConfig(std::string(kPeople) + c.text, "r.toml");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << "message: " << e.what() << "\nexpected: " << c.message;
    }
  }
}

}  // namespace
}  // namespace ringwell::oncall
