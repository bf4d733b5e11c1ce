#include "ringwell/oncall/engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "oncall_testing.h"
#include "ringwell/common/files.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::oncall {
namespace {

using testing::kPeople;
using testing::Utc;

class TestClock : public Clock {
 public:
  Instant Now() const override { return now; }
  Instant now = Utc("2026-06-01T10:00:00Z");  // a Monday, 12:00 in Berlin
};

// Calls placed by the engine, as the tests let them end.
class TestDialer : public Dialer {
 public:
  struct Placed {
    std::string person, text, incident, request;
    CallOutcome outcome;
    bool canceled = false;
  };
  std::string Call(const Person& person, const std::string& text,
                   const Incident& incident) override {
    if (on_call) on_call(incident);
    if (person.key == refuse) throw std::runtime_error("no line");
    const std::string request = "R" + std::to_string(placed.size() + 1);
    placed.push_back({person.key, text, incident.id, request, {}, false});
    return request;
  }
  void Cancel(const std::string& request) override { Find(request).canceled = true; }
  CallOutcome Outcome(const std::string& request) override { return Find(request).outcome; }

  Placed& Find(const std::string& request) {
    for (Placed& p : placed) {
      if (p.request == request) return p;
    }
    throw std::runtime_error("no request " + request);
  }
  // The people called, in order.
  std::vector<std::string> People() const {
    std::vector<std::string> people;
    for (const Placed& p : placed) people.push_back(p.person);
    return people;
  }
  void End(std::size_t index, const std::string& result, const std::string& key = "",
           bool machine = false) {
    placed.at(index).outcome = {true, key, machine, result};
  }

  std::vector<Placed> placed;
  std::string refuse;
  std::function<void(const Incident&)> on_call;
};

constexpr char kTables[] = R"(
[schedules.primary]
timezone = "Europe/Berlin"
[[schedules.primary.rotations]]
people = ["bob"]
start = 2026-01-05T09:00:00
shift = "1w"
[[schedules.primary.rotations]]
people = ["dave"]
start = 2026-01-05T00:00:00
shift = "1d"
days = ["sat", "sun"]

[policies.critical]
[[policies.critical.steps]]
notify = ["person:alice"]
wait = "5m"
[[policies.critical.steps]]
notify = ["schedule:primary", "person:carol"]
wait = "10m"

[policies.again]
repeat = 1
[[policies.again.steps]]
notify = ["person:alice"]
wait = "2m"

[heartbeats.backup]
every = "1d"
policy = "again"
)";

class EngineTest : public ringwell::testing::RingwellTest {
 protected:
  OnCallConfig Config() { return ParseOnCallConfig(std::string(kPeople) + kTables, "routes.toml"); }
  std::unique_ptr<Engine> Make(const std::string& root, bool shared = false) {
    auto engine = std::make_unique<Engine>(root, Config(), clock_, dialer_, shared);
    engine->SetObserver([this](const Incident& incident, Change change) {
      if (change == Change::kAcknowledged) acknowledged_.push_back(incident.acknowledged_by);
      if (change == Change::kResolved) resolved_.push_back(incident.id);
    });
    return engine;
  }
  Engine::Fired Fire(Engine& engine, const std::string& group = "{}:{alertname=\"DiskFull\"}",
                     std::vector<std::string> alerts = {"a1"},
                     const std::string& policy = "critical") {
    return engine.Fire("db", policy, group, "Disk full on db1.", {{"alertname", "DiskFull"}},
                       alerts);
  }
  void After(Seconds elapsed, Engine& engine) {
    clock_.now += elapsed;
    engine.Tick();
  }
  std::vector<std::string> Events(const Incident& incident) {
    std::vector<std::string> events;
    for (const TimelineEntry& entry : incident.timeline) events.push_back(entry.event);
    return events;
  }

  TestClock clock_;
  TestDialer dialer_;
  std::vector<std::string> acknowledged_, resolved_;
};

// Alice does not answer; after the step's wait, Bob (on call in the
// schedule) and Carol are called; Bob presses 1: acknowledged by Bob, Carol's
// call canceled, nobody called again.
TEST_F(EngineTest, ChainGoesOnUntilSomeonePressesOne) {
  auto engine = Make(root());
  const auto fired = Fire(*engine);
  ASSERT_TRUE(fired.opened);
  ASSERT_EQ(dialer_.People(), (std::vector<std::string>{"alice"}));
  EXPECT_EQ(dialer_.placed[0].text, "Disk full on db1.");
  dialer_.End(0, "no answer");
  After(Seconds(299), *engine);
  EXPECT_EQ(dialer_.People().size(), 1u);  // the wait is not over
  After(Seconds(1), *engine);
  ASSERT_EQ(dialer_.People(), (std::vector<std::string>{"alice", "bob", "carol"}));
  dialer_.End(1, "answered", "1");
  After(Seconds(30), *engine);
  const Incident incident = *engine->Get(fired.id);
  EXPECT_EQ(incident.state, "acknowledged");
  EXPECT_EQ(incident.acknowledged_by, "bob");
  EXPECT_EQ(incident.acknowledged_at, clock_.now);
  EXPECT_TRUE(dialer_.placed[2].canceled);   // Carol is not called any more
  EXPECT_FALSE(dialer_.placed[0].canceled);  // Alice's call had ended
  EXPECT_EQ(acknowledged_, (std::vector<std::string>{"bob"}));
  After(Seconds(1800), *engine);
  EXPECT_EQ(dialer_.People().size(), 3u);
  EXPECT_EQ(Events(incident),
            (std::vector<std::string>{"opened", "step", "called", "no answer", "step", "called",
                                      "called", "answered", "acknowledged", "canceled"}));
  // The file below the storage root says the same.
  std::string text;
  ASSERT_EQ(ReadWholeFile(root() + "Incidents/" + fired.id + ".json", &text), S_OK);
  const auto saved = nlohmann::json::parse(text);
  EXPECT_EQ(saved["state"], "acknowledged");
  EXPECT_EQ(saved["acknowledgedBy"], "bob");
  EXPECT_EQ(saved["acknowledged"], "2026-06-01T10:05:30Z");
}

TEST_F(EngineTest, KeyTwoEscalatesAtOnceAndAVoicemailNeverAcknowledges) {
  auto engine = Make(root());
  const auto fired = Fire(*engine);
  dialer_.End(0, "voicemail", "1", true);  // the machine "heard" a 1 in the greeting
  After(Seconds(10), *engine);
  EXPECT_EQ(engine->Get(fired.id)->state, "open");
  EXPECT_EQ(dialer_.People().size(), 1u);
  // A second incident whose first callee passes it on.
  const auto other = Fire(*engine, "{}:{alertname=\"Other\"}");
  ASSERT_EQ(dialer_.People().size(), 2u);
  dialer_.End(1, "answered", "2");
  After(Seconds(10), *engine);
  ASSERT_EQ(dialer_.People(), (std::vector<std::string>{"alice", "alice", "bob", "carol"}));
  EXPECT_EQ(dialer_.placed[2].incident, other.id);
  const Incident incident = *engine->Get(other.id);
  EXPECT_EQ(incident.step, 2);
  EXPECT_EQ(incident.due, clock_.now + Seconds(600));  // the second step's wait
  // On the weekend the schedule's later rotation puts Dave on call.
  clock_.now = Utc("2026-06-06T10:00:00Z");
  const auto weekend = Fire(*engine, "{}:{alertname=\"Weekend\"}");
  engine->Escalate(weekend.id, "ops-token");
  EXPECT_EQ(dialer_.placed.back().person, "carol");
  EXPECT_EQ(dialer_.placed[dialer_.placed.size() - 2].person, "dave");
}

TEST_F(EngineTest, RepeatsJoinTheIncidentAndResolutionCancelsItsCalls) {
  auto engine = Make(root());
  const auto first = Fire(*engine, "g", {"a1"});
  const auto repeat = Fire(*engine, "g", {"a1"});
  const auto joined = Fire(*engine, "g", {"a1", "a2"});
  EXPECT_FALSE(repeat.opened);
  EXPECT_EQ(repeat.id, first.id);
  EXPECT_EQ(joined.id, first.id);
  EXPECT_EQ(dialer_.People().size(), 1u);  // one chain
  EXPECT_EQ(engine->Get(first.id)->alerts, (std::vector<std::string>{"a1", "a2"}));
  EXPECT_EQ(engine->ResolveGroup("db", "g", "Alertmanager"), first.id);
  EXPECT_TRUE(dialer_.placed[0].canceled);
  EXPECT_EQ(resolved_, (std::vector<std::string>{first.id}));
  After(Seconds(3600), *engine);
  EXPECT_EQ(dialer_.People().size(), 1u);
  EXPECT_FALSE(engine->ResolveGroup("db", "g", "Alertmanager"));
  EXPECT_FALSE(engine->Acknowledge(first.id, "late"));
  // The group firing again after its resolution is a new incident.
  const auto again = Fire(*engine, "g", {"a1"});
  EXPECT_TRUE(again.opened);
  EXPECT_NE(again.id, first.id);
  // Open first in the list.
  const auto list = engine->List();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].id, again.id);
  EXPECT_EQ(list[1].state, "resolved");
}

TEST_F(EngineTest, AcknowledgedThroughTheApiAndRepeatedChains) {
  auto engine = Make(root());
  const auto fired = Fire(*engine, "g", {"a1"}, "again");
  for (int i = 0; i < 4; ++i) After(Seconds(120), *engine);
  // One step, run twice (repeat = 1), then the chain ends.
  EXPECT_EQ(dialer_.People(), (std::vector<std::string>{"alice", "alice"}));
  EXPECT_EQ(Events(*engine->Get(fired.id)).back(), "stopped");
  EXPECT_TRUE(engine->Acknowledge(fired.id, "ops-token"));
  EXPECT_FALSE(engine->Acknowledge(fired.id, "ops-token"));
  EXPECT_EQ(engine->Get(fired.id)->acknowledged_by, "ops-token");
  EXPECT_TRUE(dialer_.placed[1].canceled);
  EXPECT_TRUE(engine->Resolve(fired.id, "ops-token"));
  EXPECT_FALSE(engine->Escalate(fired.id, "ops-token"));
  EXPECT_FALSE(engine->Acknowledge("nosuch", "x"));
  // A call that cannot be placed is in the timeline; the chain goes on.
  dialer_.refuse = "alice";
  const auto refused = Fire(*engine, "h", {"b1"}, "again");
  EXPECT_EQ(Events(*engine->Get(refused.id)).back(), "failed");
  EXPECT_EQ(engine->Get(refused.id)->calls.at(0).state, "failed");
}

// The process dies (the files as they were at that moment are what a new
// engine finds): the chain resumes, no step runs twice, no wait restarts.
TEST_F(EngineTest, ChainResumesAfterACrashWithoutRunningAStepTwice) {
  std::string id;
  {
    auto engine = Make(root());
    id = Fire(*engine).id;
    dialer_.End(0, "no answer");
    After(Seconds(120), *engine);
  }
  ASSERT_EQ(dialer_.People().size(), 1u);
  // Restarted three minutes into the five-minute wait.
  auto engine = Make(root());
  After(Seconds(60), *engine);
  EXPECT_EQ(dialer_.People().size(), 1u);
  After(Seconds(119), *engine);
  EXPECT_EQ(dialer_.People().size(), 1u);
  After(Seconds(1), *engine);  // five minutes after the first step
  EXPECT_EQ(dialer_.People(), (std::vector<std::string>{"alice", "bob", "carol"}));
  After(Seconds(1), *engine);
  EXPECT_EQ(dialer_.People().size(), 3u);

  // A crash while a call is being placed: the copy of the storage taken at
  // that moment is what the next process finds.
  ringwell::testing::TempDir crashed;
  bool copied = false;
  dialer_.on_call = [&](const Incident& incident) {
    if (incident.step != 2 || copied) return;
    copied = true;
    std::filesystem::copy(root() + "Incidents", crashed.path() + "Incidents");
  };
  dialer_.End(1, "no answer");
  dialer_.End(2, "busy");
  dialer_.placed.clear();
  clock_.now = Utc("2026-06-01T11:00:00Z");
  const auto second = Fire(*engine, "other");
  dialer_.End(0, "no answer");
  After(Seconds(300), *engine);  // step 2 places Bob's call; the copy is taken
  ASSERT_TRUE(std::filesystem::exists(crashed.path() + "Incidents/" + second.id + ".json"));
  dialer_.placed.clear();
  dialer_.on_call = nullptr;
  auto after = Make(crashed.path());
  const Incident resumed = *after->Get(second.id);
  EXPECT_EQ(resumed.step, 2);
  EXPECT_EQ(resumed.calls.at(1).state, "unknown");  // never placed a second time
  EXPECT_EQ(resumed.due, Utc("2026-06-01T11:15:00Z"));
  After(Seconds(60), *after);
  EXPECT_TRUE(dialer_.placed.empty());
  clock_.now = Utc("2026-06-01T11:15:00Z");
  after->Tick();
  EXPECT_EQ(Events(*after->Get(second.id)).back(), "stopped");  // the chain had two steps
}

// Two API instances on one shared root, each with its engine: a group sent
// to both opens one incident; the next step is run once, by whichever ticks;
// what one saves (an acknowledgement, a beat) is what the other decides on.
TEST_F(EngineTest, EnginesOnASharedRootDecideOnWhatIsSaved) {
  auto first = Make(root(), true);
  auto second = Make(root(), true);
  const auto opened = Fire(*first);
  const auto again = Fire(*second);
  ASSERT_TRUE(opened.opened);
  EXPECT_FALSE(again.opened);
  EXPECT_EQ(again.id, opened.id);
  EXPECT_EQ(dialer_.People(), (std::vector<std::string>{"alice"}));
  dialer_.End(0, "no answer");
  After(Seconds(300), *second);
  EXPECT_EQ(dialer_.People(), (std::vector<std::string>{"alice", "bob", "carol"}));
  first->Tick();
  EXPECT_EQ(dialer_.People().size(), 3u);  // the step is not run again
  EXPECT_EQ(first->Get(opened.id)->step, 2);
  EXPECT_TRUE(first->Acknowledge(opened.id, "ops"));
  EXPECT_EQ(second->Get(opened.id)->state, "acknowledged");
  EXPECT_FALSE(second->Acknowledge(opened.id, "ops"));
  ASSERT_EQ(second->List().size(), 1u);

  // The heartbeat beats through the first; the second, which ticks, finds
  // it on time.
  second->Tick();  // expected from now on
  After(Seconds(86000), *second);
  EXPECT_TRUE(first->Beat("backup"));
  After(Seconds(1000), *second);
  EXPECT_EQ(second->List().size(), 1u);
  After(Seconds(86400), *second);
  EXPECT_EQ(second->List().size(), 2u);  // late now
  EXPECT_EQ(first->List().size(), 2u);
}

TEST_F(EngineTest, LateHeartbeatOpensAnIncidentThatTheNextBeatResolves) {
  auto engine = Make(root());
  engine->Tick();  // the heartbeat is expected from now on
  EXPECT_TRUE(engine->Beat("backup"));
  EXPECT_FALSE(engine->Beat("nosuch"));
  After(Seconds(86399), *engine);
  EXPECT_TRUE(engine->List().empty());
  After(Seconds(1), *engine);
  ASSERT_EQ(engine->List().size(), 1u);
  const Incident incident = engine->List()[0];
  EXPECT_EQ(incident.text, "heartbeat backup missed");
  EXPECT_EQ(dialer_.People(), (std::vector<std::string>{"alice"}));
  After(Seconds(60), *engine);
  EXPECT_EQ(engine->List().size(), 1u);  // one incident while it is open
  EXPECT_TRUE(engine->Beat("backup"));
  EXPECT_EQ(engine->Get(incident.id)->state, "resolved");
  // The beat was kept: a new engine does not count from its own start.
  auto again = Make(root());
  After(Seconds(86399), *again);
  EXPECT_EQ(again->List().size(), 1u);
}

// The API's server threads fire, acknowledge and read while its worker
// ticks: every group gets one incident and one first call, every change is
// saved (run under ThreadSanitizer in CI).
TEST_F(EngineTest, ServerThreadsAndTheWorkerShareTheEngine) {
  class CountingDialer : public Dialer {
   public:
    std::string Call(const Person&, const std::string&, const Incident& incident) override {
      std::scoped_lock lock(mutex);
      ++calls[incident.id];
      return incident.id + "-" + std::to_string(calls[incident.id]);
    }
    void Cancel(const std::string&) override {}
    CallOutcome Outcome(const std::string&) override { return {}; }
    std::mutex mutex;
    std::map<std::string, int> calls;
  } dialer;
  Engine engine(root(), Config(), clock_, dialer);
  std::jthread worker([&](std::stop_token stop) {
    while (!stop.stop_requested()) engine.Tick();
  });
  std::vector<std::jthread> servers;
  for (int t = 0; t < 4; ++t) {
    servers.emplace_back([&, t] {
      for (int g = 0; g < 15; ++g) {
        const std::string group = std::to_string(t) + "/" + std::to_string(g);
        const auto fired = engine.Fire("db", "critical", group, "x", {}, {"a"});
        engine.Fire("db", "critical", group, "x", {}, {"a", "b"});  // a repeat joining
        if (g % 2 == 0) engine.Acknowledge(fired.id, "desk");
        engine.List();
      }
    });
  }
  servers.clear();  // joined
  worker.request_stop();
  worker.join();
  const auto incidents = engine.List();
  ASSERT_EQ(incidents.size(), 60u);
  std::size_t acknowledged = 0;
  for (const Incident& incident : incidents) {
    EXPECT_EQ(dialer.calls[incident.id], 1) << incident.id;
    EXPECT_EQ(incident.alerts, (std::vector<std::string>{"a", "b"}));
    acknowledged += incident.state == "acknowledged";
    std::string text;
    ASSERT_EQ(ReadWholeFile(root() + "Incidents/" + incident.id + ".json", &text), S_OK);
    EXPECT_EQ(nlohmann::json::parse(text)["state"], incident.state);
  }
  EXPECT_EQ(acknowledged, 32u);  // groups 0, 2, ..., 14 of each thread
}

}  // namespace
}  // namespace ringwell::oncall
