// The incidents' event stream: each timeline entry told once and in order,
// whatever order the engine's observers report states in, numbers that go on
// across a restart, and a resume from events no longer kept.
#include "incident_feed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "event_journal.h"
#include "ringwell/common/event_log.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::api {
namespace {

using nlohmann::json;

oncall::Instant At(int second) {
  return oncall::Instant(std::chrono::seconds(1'800'000'000 + second));
}

oncall::Incident WithEntries(const std::string& id, std::vector<std::string> events,
                             std::string state = "open") {
  oncall::Incident incident;
  incident.id = id;
  incident.state = std::move(state);
  incident.route = "db";
  incident.policy = "critical";
  incident.opened = At(0);
  for (std::size_t i = 0; i < events.size(); ++i) {
    incident.timeline.push_back({At(static_cast<int>(i)), events[i], events[i] + " text"});
  }
  return incident;
}

// "seq:change" of each event of a stream's text, "reset" for a reset.
std::vector<std::string> Parse(const std::string& text) {
  std::vector<std::string> seen;
  for (std::size_t at = 0; (at = text.find("event: ", at)) != std::string::npos;) {
    const std::size_t end = text.find('\n', at);
    const std::string type = text.substr(at + 7, end - at - 7);
    if (type == "reset") {
      seen.push_back("reset");
    } else {
      const std::size_t data = text.find("data: ", end) + 6;
      const json event = json::parse(text.substr(data, text.find('\n', data) - data));
      seen.push_back(std::to_string(event["seq"].get<int>()) + ":" +
                     event["change"].get<std::string>());
    }
    at = end;
  }
  return seen;
}

// What a stream received.
std::vector<std::string> Received(EventChannel& channel) {
  channel.Bind([] {}, [] {});
  std::string text;
  char buffer[4096];
  for (long got; (got = channel.Read(buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  return Parse(text);
}

// What a stream received once it has `count` events (or after 30 s).
std::vector<std::string> ReceivedUntil(EventChannel& channel, std::size_t count) {
  std::mutex mutex;
  std::condition_variable woken;
  bool pushed = false;
  channel.Bind([] {},
               [&] {
                 std::lock_guard lock(mutex);
                 pushed = true;
                 woken.notify_all();
               });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string text;
  std::vector<std::string> seen;
  for (;;) {
    char buffer[4096];
    for (long got; (got = channel.Read(buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    seen = Parse(text);
    std::unique_lock lock(mutex);
    if (seen.size() >= count || !woken.wait_until(lock, deadline, [&] { return pushed; })) break;
    pushed = false;
  }
  channel.Bind([] {}, [] {});
  return seen;
}

class IncidentFeedTest : public ringwell::testing::RingwellTest {
 protected:
  CEventLog log_{"incident-feed-test", "", {}};
};

TEST_F(IncidentFeedTest, EachEntryIsToldOnceInOrderAndAnOlderStateTellsNothing) {
  IncidentFeed feed(root(), log_);
  feed.Load({});
  auto stream = std::make_shared<EventChannel>();
  feed.Subscribe(std::nullopt, stream);
  feed.Publish(WithEntries("a", {"opened", "step", "called"}));
  // Two threads' reports crossed: the newer state came first.
  feed.Publish(
      WithEntries("a", {"opened", "step", "called", "no answer", "acknowledged"}, "acknowledged"));
  feed.Publish(WithEntries("a", {"opened", "step", "called", "no answer"}));
  feed.Publish(WithEntries("b", {"opened"}));
  EXPECT_EQ(Received(*stream),
            (std::vector<std::string>{"1:opened", "2:step", "3:called", "4:no answer",
                                      "5:acknowledged", "6:opened"}));
  // A timeline that is full adds no entry: the new state is told all the same.
  feed.Publish(
      WithEntries("a", {"opened", "step", "called", "no answer", "acknowledged"}, "resolved"));
  // An older state of the full timeline, told late, tells nothing.
  feed.Publish(
      WithEntries("a", {"opened", "step", "called", "no answer", "acknowledged"}, "acknowledged"));
  auto later = std::make_shared<EventChannel>();
  feed.Subscribe(5, later);
  EXPECT_EQ(Received(*later), (std::vector<std::string>{"6:opened", "7:resolved"}));
  const auto events = ReadEvents(root() + "Events/incidents/feed.jsonl");
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[4]["incident"]["state"], "acknowledged");
  EXPECT_EQ(events[4]["text"], "acknowledged text");
}

TEST_F(IncidentFeedTest, NumbersGoOnAfterARestartAndWhatHappenedMeanwhileIsTold) {
  {
    IncidentFeed feed(root(), log_);
    feed.Load({});
    feed.Publish(WithEntries("a", {"opened", "step"}));
  }
  IncidentFeed feed(root(), log_);
  // The engine's state at start: "a" went on before the API died (after its
  // events were written); "old" is older than anything the file keeps.
  feed.Load({WithEntries("a", {"opened", "step", "called"}), WithEntries("old", {"opened"})});
  EXPECT_EQ(feed.LastSeq(), 3u);
  auto stream = std::make_shared<EventChannel>();
  feed.Subscribe(1, stream);
  feed.Publish(WithEntries("a", {"opened", "step", "called", "acknowledged"}, "acknowledged"));
  feed.Publish(WithEntries("old", {"opened", "resolved"}, "resolved"));
  EXPECT_EQ(Received(*stream),
            (std::vector<std::string>{"2:step", "3:called", "4:acknowledged", "5:resolved"}));
}

TEST_F(IncidentFeedTest, AResumeFromEventsNoLongerKeptIsToldToStartAgain) {
  IncidentFeed feed(root(), log_);
  feed.Load({});
  std::vector<std::string> events;
  for (std::size_t i = 0; i < 3 * IncidentFeed::kKeptEvents; ++i) events.push_back("called");
  for (std::size_t n = 1; n <= events.size(); n += 100) {
    feed.Publish(WithEntries("a", std::vector<std::string>(events.begin(), events.begin() + n)));
  }
  const std::uint64_t last = feed.LastSeq();
  auto stream = std::make_shared<EventChannel>();
  feed.Subscribe(3, stream);
  const auto seen = Received(*stream);
  ASSERT_EQ(seen.size(), IncidentFeed::kKeptEvents + 1);
  EXPECT_EQ(seen.front(), "reset");
  EXPECT_EQ(seen.back(), std::to_string(last) + ":called");
  // The file was cut back, never below what is kept.
  const auto kept = ReadEvents(root() + "Events/incidents/feed.jsonl");
  EXPECT_GE(kept.size(), IncidentFeed::kKeptEvents);
  EXPECT_LE(kept.size(), 2 * IncidentFeed::kKeptEvents);
  EXPECT_EQ(kept.back()["seq"], last);
  // A client that is up to date is sent nothing old.
  auto current = std::make_shared<EventChannel>();
  feed.Subscribe(last, current);
  EXPECT_TRUE(Received(*current).empty());
}

TEST_F(IncidentFeedTest, TwoInstancesOnOneRootNumberOnceAndEachFollowsTheOther) {
  IncidentFeed first(root(), log_, true);
  IncidentFeed second(root(), log_, true);
  first.Load({});
  second.Load({});
  auto stream = std::make_shared<EventChannel>();
  first.Subscribe(std::nullopt, stream);
  first.Publish(WithEntries("a", {"opened", "step"}));
  // The other instance changed "a" and tells only what the first did not.
  second.Publish(WithEntries("a", {"opened", "step", "acknowledged"}, "acknowledged"));
  // The first instance learns of it late: nothing is told twice.
  first.Publish(WithEntries("a", {"opened", "step", "acknowledged"}, "acknowledged"));
  second.Publish(WithEntries("b", {"opened"}));
  first.Publish(WithEntries("c", {"opened"}));
  EXPECT_EQ(
      ReceivedUntil(*stream, 5),
      (std::vector<std::string>{"1:opened", "2:step", "3:acknowledged", "4:opened", "5:opened"}));
  auto resumed = std::make_shared<EventChannel>();
  second.Subscribe(1, resumed);
  EXPECT_EQ(Received(*resumed),
            (std::vector<std::string>{"2:step", "3:acknowledged", "4:opened", "5:opened"}));
}

TEST_F(IncidentFeedTest, TwoWritersCutTheFileBackWithoutLosingOrRepeatingAnEvent) {
  IncidentFeed first(root(), log_, true);
  IncidentFeed second(root(), log_, true);
  first.Load({});
  second.Load({});
  auto stream = std::make_shared<EventChannel>();
  first.Subscribe(std::nullopt, stream);
  const std::vector<std::string> entries(3 * IncidentFeed::kKeptEvents, "called");
  std::size_t told = 0;
  for (std::size_t n = 100; n <= entries.size(); n += 100) {
    first.Publish(WithEntries("a", {entries.begin(), entries.begin() + static_cast<long>(n)}));
    second.Publish(WithEntries("b", {entries.begin(), entries.begin() + static_cast<long>(n)}));
    told = 2 * n;
  }
  const auto seen = ReceivedUntil(*stream, told);
  ASSERT_EQ(seen.size(), told);
  for (std::size_t i = 0; i < told; ++i) EXPECT_EQ(seen[i], std::to_string(i + 1) + ":called");
  const auto kept = ReadEvents(root() + "Events/incidents/feed.jsonl");
  ASSERT_GE(kept.size(), IncidentFeed::kKeptEvents);
  EXPECT_LE(kept.size(), 2 * IncidentFeed::kKeptEvents);
  for (std::size_t i = 1; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i]["seq"].get<std::uint64_t>(), kept[i - 1]["seq"].get<std::uint64_t>() + 1);
  }
  EXPECT_EQ(kept.back()["seq"].get<std::uint64_t>(), told);
}

}  // namespace
}  // namespace ringwell::api
