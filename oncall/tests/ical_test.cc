#include "ringwell/oncall/ical.h"

#include <gtest/gtest.h>
#include <libical/ical.h>

#include <fstream>

#include "oncall_testing.h"
#include "ringwell/oncall/schedule.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::oncall {
namespace {

using testing::kPeople;
using testing::Utc;
using testing::UtcText;

// Weekend duty from a calendar: Saturdays and Sundays 10:00-18:00 Berlin time,
// four times, one Sunday left out; a one-off event for Carol.
constexpr char kWeekends[] =
    "BEGIN:VCALENDAR\r\n"
    "VERSION:2.0\r\n"
    "PRODID:-//Example//Duty//EN\r\n"
    "BEGIN:VEVENT\r\n"
    "UID:weekend-1@example.net\r\n"
    "DTSTAMP:20260301T000000Z\r\n"
    "DTSTART;TZID=Europe/Berlin:20260321T100000\r\n"
    "DTEND;TZID=Europe/Berlin:20260321T180000\r\n"
    "RRULE:FREQ=WEEKLY;BYDAY=SA,SU;COUNT=4\r\n"
    "EXDATE;TZID=Europe/Berlin:20260322T100000\r\n"
    "SUMMARY:Bob\r\n"
    "END:VEVENT\r\n"
    "BEGIN:VEVENT\r\n"
    "UID:carol-1@example.net\r\n"
    "DTSTAMP:20260301T000000Z\r\n"
    "DTSTART:20260328T120000Z\r\n"
    "DURATION:PT1H\r\n"
    "SUMMARY:carol\r\n"
    "END:VEVENT\r\n"
    "END:VCALENDAR\r\n";

class IcalTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_.path() + name;
    std::ofstream(path) << text;
    return path;
  }
  ringwell::testing::TempDir dir_;
};

// The calendar as a rotation above a weekly one: its events win where they
// are; the RRULE repeats the weekend duty across the change to summer time.
TEST_F(IcalTest, ImportedCalendarIsARotationWithItsRepeats) {
  const std::string ics = Write("weekends.ics", kWeekends);
  const Schedule s = ParseOnCallConfig(std::string(kPeople) + R"(
[schedules.s]
timezone = "Europe/Berlin"
[[schedules.s.rotations]]
people = ["alice"]
start = 2026-03-01T00:00:00
shift = "1w"
[[schedules.s.rotations]]
ical = ")" + ics + "\"\n",
                                       "routes.toml")
                         .schedules.at("s");
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-21T08:59:59Z")), "alice");
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-21T09:00:00Z")), "bob");  // Saturday 10:00 CET
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-21T17:00:00Z")), "alice");
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-22T10:00:00Z")), "alice");  // the Sunday left out
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-28T12:30:00Z")), "carol");  // later in the file
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-29T08:00:00Z")), "bob");    // 10:00 CEST
  EXPECT_EQ(OnCallAt(s, Utc("2026-03-29T07:59:59Z")), "alice");
  EXPECT_EQ(OnCallAt(s, Utc("2026-04-04T09:00:00Z")), "alice");  // after COUNT=4
  std::vector<std::string> handoffs;
  for (const Handoff& h :
       NextHandoffs(s, Utc("2026-03-28T00:00:00Z"), 6, Utc("2026-05-01T00:00:00Z"))) {
    handoffs.push_back(UtcText(h.at) + " " + h.person);
  }
  EXPECT_EQ(handoffs,
            (std::vector<std::string>{"2026-03-28T09:00:00Z bob", "2026-03-28T12:00:00Z carol",
                                      "2026-03-28T13:00:00Z bob", "2026-03-28T17:00:00Z alice",
                                      "2026-03-29T08:00:00Z bob", "2026-03-29T16:00:00Z alice"}));
}

TEST_F(IcalTest, CalendarsThatCannotBeUsedAreRefusedWithTheReason) {
  const auto refused = [&](const std::string& body) {
    const std::string ics =
        Write("bad.ics", "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n" + body + "END:VCALENDAR\r\n");
    try {
      ParseOnCallConfig(std::string(kPeople) +
                            "[schedules.s]\ntimezone = \"UTC\"\n[[schedules.s.rotations]]\n"
                            "ical = \"" +
                            ics + "\"\n",
                        "routes.toml");
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  const std::string at = "routes.toml: [[schedules.s.rotations]] number 1 ical: ";
  EXPECT_EQ(refused(""), at + dir_.path() + "bad.ics has no events (VEVENT)");
  EXPECT_EQ(refused("BEGIN:VEVENT\r\nDTSTART:20260101T000000Z\r\nDURATION:PT1H\r\n"
                    "SUMMARY:Zoe\r\nEND:VEVENT\r\n"),
            at + "the event \"Zoe\" names nobody of [people.*] (SUMMARY is a key or a name)");
  EXPECT_EQ(
      refused("BEGIN:VEVENT\r\nDTSTART:20260101T000000Z\r\nSUMMARY:Bob\r\nEND:VEVENT\r\n"),
      at + dir_.path() + "bad.ics the event \"Bob\" ends before it starts (DTEND or DURATION)");
  EXPECT_EQ(refused("BEGIN:VEVENT\r\nDTSTART;TZID=Mars/Base:20260101T000000\r\nDURATION:PT1H\r\n"
                    "SUMMARY:Bob\r\nEND:VEVENT\r\n"),
            at + dir_.path() + "bad.ics the time zone \"Mars/Base\" is not an IANA zone");
}

struct ReadBack {
  std::string summary, description;
  std::string start, end;
};

// The feed as another calendar program reads it: libical's parser.
std::vector<ReadBack> ReadFeed(const std::string& text) {
  icalcomponent* calendar = icalparser_parse_string(text.c_str());
  EXPECT_NE(calendar, nullptr);
  std::vector<ReadBack> events;
  if (calendar == nullptr) return events;
  EXPECT_EQ(icalcomponent_isa(calendar), ICAL_VCALENDAR_COMPONENT);
  EXPECT_EQ(icalcomponent_count_errors(calendar), 0);
  for (icalcomponent* e = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT);
       e != nullptr; e = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
    const auto utc = [](icaltimetype t) {
      EXPECT_TRUE(icaltime_is_utc(t));
      return UtcText(Instant(Seconds(icaltime_as_timet(t))));
    };
    EXPECT_NE(icalcomponent_get_uid(e), nullptr);
    events.push_back({icalcomponent_get_summary(e), icalcomponent_get_description(e),
                      utc(icalcomponent_get_dtstart(e)), utc(icalcomponent_get_dtend(e))});
  }
  icalcomponent_free(calendar);
  return events;
}

TEST_F(IcalTest, ExportedFeedReadsBackWithLibical) {
  const OnCallConfig config = ParseOnCallConfig(std::string(kPeople) + R"(
[schedules.s]
timezone = "Europe/Berlin"
[[schedules.s.rotations]]
people = ["alice", "bob"]
start = 2026-03-27T09:00:00
shift = "1d"
[[schedules.s.overrides]]
person = "carol"
from = 2026-03-29T12:00:00
until = 2026-03-29T13:00:00
)",
                                                "routes.toml");
  const std::string feed = ExportIcal(config.schedules.at("s"), config, Utc("2026-03-28T00:00:00Z"),
                                      Utc("2026-03-30T12:00:00Z"));
  const std::vector<ReadBack> events = ReadFeed(feed);
  ASSERT_EQ(events.size(), 6u) << feed;
  const std::vector<std::vector<std::string>> expected = {
      {"Alice", "alice", "2026-03-28T00:00:00Z", "2026-03-28T08:00:00Z"},
      {"Bob", "bob", "2026-03-28T08:00:00Z", "2026-03-29T07:00:00Z"},  // 23 hours
      {"Alice", "alice", "2026-03-29T07:00:00Z", "2026-03-29T10:00:00Z"},
      {"Carol", "carol", "2026-03-29T10:00:00Z", "2026-03-29T11:00:00Z"},
      {"Alice", "alice", "2026-03-29T11:00:00Z", "2026-03-30T07:00:00Z"},
      {"Bob", "bob", "2026-03-30T07:00:00Z", "2026-03-30T12:00:00Z"},  // cut at the end
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ((std::vector<std::string>{events[i].summary, events[i].description, events[i].start,
                                        events[i].end}),
              expected[i]);
  }
  // The feed imports again as a rotation: the same people at the same times.
  const Schedule again = ParseOnCallConfig(std::string(kPeople) +
                                               "[schedules.s]\ntimezone = \"UTC\"\n"
                                               "[[schedules.s.rotations]]\nical = \"" +
                                               Write("feed.ics", feed) + "\"\n",
                                           "routes.toml")
                             .schedules.at("s");
  EXPECT_EQ(OnCallAt(again, Utc("2026-03-29T06:59:59Z")), "bob");
  EXPECT_EQ(OnCallAt(again, Utc("2026-03-29T10:30:00Z")), "carol");
  EXPECT_EQ(OnCallAt(again, Utc("2026-03-30T08:00:00Z")), "bob");
  EXPECT_EQ(OnCallAt(again, Utc("2026-03-30T12:00:00Z")), "");  // past the feed
}

}  // namespace
}  // namespace ringwell::oncall
