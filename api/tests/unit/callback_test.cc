// What the status callbacks and the alert hooks keep: the journal read on
// from an offset, the addresses a callback may go to, the alert ledger (one
// call per group, however many groups, even when a notification fails
// midway) and the bounds of the Idempotency-Key store.
#include <gtest/gtest.h>
#include <sodium.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <stdexcept>

#include "alert_ledger.h"
#include "callback_sender.h"
#include "event_journal.h"
#include "idempotency.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::api {
namespace {

namespace fs = std::filesystem;

class CallbackTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    ASSERT_GE(sodium_init(), 0);
  }
  // A directory for many durable writes: in memory when the machine has
  // /dev/shm (a flush there costs nothing), else the scratch directory.
  std::string ManyFilesDir() {
    if (!fs::is_directory("/dev/shm")) return scratch();
    if (shm_.empty()) {
      char name[] = "/dev/shm/ringwell-ledger-XXXXXX";
      shm_ = std::string(::mkdtemp(name)) + "/";
    }
    return shm_;
  }
  void TearDown() override {
    if (!shm_.empty()) fs::remove_all(shm_);
    RingwellTest::TearDown();
  }
  std::string shm_;
};

nlohmann::json Event(std::uint64_t seq, const std::string& type, const std::string& status) {
  return {
      {"seq", seq}, {"id", "{X}"}, {"type", type}, {"status", status}, {"requestStatus", status}};
}

TEST_F(CallbackTest, AJournalIsReadOnFromAnOffsetEachLineOnce) {
  const std::string path = scratch() + "journal.jsonl";
  std::vector<nlohmann::json> events;
  for (std::uint64_t seq = 1; seq <= 3000; ++seq) {
    events.push_back(Event(seq, "recipient", std::string(100, 'x')));
  }
  ASSERT_EQ(AppendEvents(path, events), S_OK);
  { std::ofstream(path, std::ios::app) << R"({"seq": 3001, "type": "sta)"; }

  // Small chunks: every event comes once, in order, and the offset after
  // each is where the next line starts.
  std::uint64_t offset = 0;
  std::uint64_t expected = 1;
  for (int reads = 0; reads < 10000; ++reads) {
    const JournalChunk chunk = ReadEventsAt(path, offset, 4096);
    if (chunk.events.empty()) break;
    ASSERT_EQ(chunk.events.size(), chunk.ends.size());
    for (std::size_t i = 0; i < chunk.events.size(); ++i) {
      ASSERT_EQ(chunk.events[i]["seq"], expected++);
      if (expected % 500 == 0) {
        const JournalChunk after = ReadEventsAt(path, chunk.ends[i], 1);
        ASSERT_FALSE(after.events.empty());
        EXPECT_EQ(after.events.front()["seq"], expected) << "the line after " << expected - 1;
      }
    }
    EXPECT_EQ(chunk.next_offset, chunk.ends.back());
    offset = chunk.next_offset;
  }
  EXPECT_EQ(expected, 3001u);  // the line still being written is not taken
  // Once it is whole, it is read from where the reader stopped.
  {
    std::ofstream(path, std::ios::app) << R"(tus", "status": "Completed"})"
                                       << "\n";
  }
  const JournalChunk last = ReadEventsAt(path, offset);
  ASSERT_EQ(last.events.size(), 1u);
  EXPECT_EQ(last.events[0]["seq"], 3001);
  EXPECT_EQ(last.next_offset, fs::file_size(path));
  EXPECT_TRUE(ReadEventsAt(scratch() + "missing.jsonl", 0).events.empty());
}

TEST_F(CallbackTest, CallbacksGoToPublicAddressesOnly) {
  for (const char* url : {"http://127.0.0.1:8080/hook",
                          "http://[::1]/hook",
                          "http://0x7f.1/hook",
                          "http://2130706433/hook",
                          "http://127.1/hook",
                          "http://0177.0.0.1/hook",
                          "http://localhost:9/hook",
                          "http://LOCALHOST./hook",
                          "http://api.localhost/hook",
                          "http://10.1.2.3/hook",
                          "http://172.16.0.1/hook",
                          "http://192.168.1.1/hook",
                          "http://169.254.169.254/latest/meta-data",
                          "http://100.64.0.1/",
                          "http://0.0.0.0/",
                          "http://[fe80::1%25eth0]/hook",
                          "http://[fd00::1]/hook",
                          "http://[::ffff:127.0.0.1]/hook",
                          "http://[::ffff:7f00:1]/hook",
                          "http://[64:ff9b::a00:1]/hook",
                          "http://224.0.0.1/hook",
                          "http://[::]/hook"}) {
    EXPECT_NE(CallbackUrlProblem(url).find("loopback, link-local or private address"),
              std::string::npos)
        << url;
  }
  for (const char* url : {"https://hooks.example/ringwell", "http://192.0.2.10:8080/hook",
                          "http://[2001:db8::1]/hook", "https://127.example/hook"}) {
    EXPECT_EQ(CallbackUrlProblem(url), "") << url;
  }
}

TEST_F(CallbackTest, AlertGroupsOutliveARestartAndTheEarlierLedgerIsTakenOver) {
  const std::string path = scratch() + "alert-groups.json";
  {
    std::ofstream(path) << R"({"alertmanager/db k0": {"firing": ["{OLD}"], "resolved": [],
                                "time": 1, "alerts": ["f0"]}})";
  }
  {
    AlertLedger ledger(path);
    std::string problem;
    ASSERT_TRUE(ledger.Load(&problem)) << problem;
    const auto lock = ledger.Lock("alertmanager/oncall", "k");
    EXPECT_TRUE(ledger.Find("alertmanager/oncall", "k").firing.empty());
    ASSERT_TRUE(ledger.Store("alertmanager/oncall", "k", {{"{A}"}, {}, 0, {"f1"}}));
  }
  EXPECT_FALSE(fs::exists(path));
  AlertLedger again(path);
  std::string problem;
  ASSERT_TRUE(again.Load(&problem)) << problem;
  EXPECT_EQ(again.Find("alertmanager/oncall", "k").firing, std::vector<std::string>{"{A}"});
  EXPECT_EQ(again.Find("alertmanager/db", "k0").firing, std::vector<std::string>{"{OLD}"});
  EXPECT_EQ(again.Find("alertmanager/db", "k0").alerts, std::vector<std::string>{"f0"});
  EXPECT_TRUE(again.Find("alertmanager/oncall", "k0").firing.empty());
}

TEST_F(CallbackTest, NoAlertGroupIsForgottenHoweverManyOthersAreRecorded) {
  const std::string path = ManyFilesDir() + "alert-groups.json";
  AlertLedger ledger(path);
  std::string problem;
  ASSERT_TRUE(ledger.Load(&problem)) << problem;
  ASSERT_TRUE(ledger.Store("alertmanager/oncall", "first", {{"{FIRST}"}, {}, 0, {"f"}}));
  for (int i = 0; i < 20000; ++i) {
    const std::string key = "group-" + std::to_string(i);
    ASSERT_TRUE(ledger.Store("alertmanager/oncall", key, {{"{" + key + "}"}, {}, 0, {}})) << i;
  }
  AlertLedger again(path);
  ASSERT_TRUE(again.Load(&problem)) << problem;
  EXPECT_EQ(again.Find("alertmanager/oncall", "first").firing, std::vector<std::string>{"{FIRST}"});
  EXPECT_EQ(again.Find("alertmanager/oncall", "group-19999").firing,
            std::vector<std::string>{"{group-19999}"});
}

TEST_F(CallbackTest, ANotificationThatFailsMidwayMakesOnlyWhatIsMissingWhenRetried) {
  const std::string path = scratch() + "alert-groups.json";
  AlertLedger ledger(path);
  std::string problem;
  ASSERT_TRUE(ledger.Load(&problem)) << problem;
  std::vector<std::string> made;
  bool page_fails = true;
  // What a second API reading the ledger's files would find at each step.
  const auto on_disk = [&] { return AlertLedger(path).Find("alertmanager/db", "k"); };
  const std::vector<std::function<std::string()>> parts = {
      [&] {
        const auto seen = on_disk();
        EXPECT_TRUE(seen.firing_incomplete);  // written before anything is submitted
        EXPECT_TRUE(seen.firing.empty());
        made.push_back("{CALL}");
        return made.back();
      },
      [&] {
        const auto seen = on_disk();
        EXPECT_TRUE(seen.firing_incomplete);
        EXPECT_EQ(seen.firing, std::vector<std::string>{"{CALL}"});  // the call, as it was made
        if (page_fails) throw std::runtime_error("the page cannot be submitted");
        made.push_back("{PAGE}");
        return made.back();
      }};
  {
    const auto lock = ledger.Lock("alertmanager/db", "k");
    AlertLedger::Group group;
    group.alerts = {"f1"};
    EXPECT_THROW(ledger.SubmitOnce("alertmanager/db", "k", group, false, parts),
                 std::runtime_error);
  }
  // Alertmanager's retry, to an API started again: the page only.
  page_fails = false;
  AlertLedger restarted(path);
  ASSERT_TRUE(restarted.Load(&problem)) << problem;
  const auto lock = restarted.Lock("alertmanager/db", "k");
  AlertLedger::Group known = restarted.Find("alertmanager/db", "k");
  ASSERT_TRUE(known.firing_incomplete);
  ASSERT_TRUE(restarted.SubmitOnce("alertmanager/db", "k", known, false, parts));
  EXPECT_EQ(made, (std::vector<std::string>{"{CALL}", "{PAGE}"}));
  const auto done = on_disk();
  EXPECT_FALSE(done.firing_incomplete);
  EXPECT_EQ(done.firing, (std::vector<std::string>{"{CALL}", "{PAGE}"}));
  EXPECT_EQ(done.alerts, std::vector<std::string>{"f1"});
}

TEST_F(CallbackTest, NotificationsOfDifferentGroupsDoNotWaitOnEachOther) {
  AlertLedger ledger(scratch() + "alert-groups.json");
  std::string problem;
  ASSERT_TRUE(ledger.Load(&problem)) << problem;
  auto busy = ledger.Lock("alertmanager/db", "slow");  // a group whose submission hangs
  auto other = std::async(std::launch::async, [&] {
    const auto lock = ledger.Lock("alertmanager/db", "other");
    return ledger.Store("alertmanager/db", "other", {{"{B}"}, {}, 0, {}});
  });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(other.get());
  // The same group waits for the one holding it.
  auto same = std::async(std::launch::async, [&] {
    const auto lock = ledger.Lock("alertmanager/db", "slow");
    return ledger.Find("alertmanager/db", "slow").firing;
  });
  ASSERT_TRUE(ledger.Store("alertmanager/db", "slow", {{"{A}"}, {}, 0, {}}));
  { const auto release = std::move(busy); }
  EXPECT_EQ(same.get(), std::vector<std::string>{"{A}"});
}

TEST_F(CallbackTest, IdempotencyKeysAreBoundedByCountAndAgeAndAFailedRequestReleasesItsKey) {
  using Claim = IdempotencyStore::Claim;
  const std::string path = scratch() + "idempotency.jsonl";
  IdempotencyStore::Answer answer;
  {
    IdempotencyStore store(path, 100);
    store.Load();
    // A request that ended without an answer (an unexpected error) can be
    // sent again with its key at once.
    EXPECT_EQ(store.Begin("ci", "crashed", "body", &answer), Claim::kNew);
    store.Release("ci", "crashed");
    EXPECT_EQ(store.Begin("ci", "crashed", "body", &answer), Claim::kNew);
    store.Finish("ci", "crashed", {201, "first", "/v1/requests/1"});
    store.Release("ci", "crashed");  // an answered key stays
    EXPECT_EQ(store.Begin("ci", "crashed", "body", &answer), Claim::kReplay);
    // At most 100 keys: the oldest go first.
    for (int i = 0; i < 1000; ++i) {
      const std::string key = "k" + std::to_string(i);
      ASSERT_EQ(store.Begin("ci", key, "body", &answer), Claim::kNew);
      store.Finish("ci", key, {201, key, ""});
    }
    EXPECT_EQ(store.Size(), 100u);
    EXPECT_EQ(store.Begin("ci", "k999", "body", &answer), Claim::kReplay);
    EXPECT_EQ(answer.body, "k999");
    EXPECT_EQ(store.Begin("ci", "crashed", "body", &answer), Claim::kNew);
    store.Finish("ci", "crashed", {201, "again", ""});
    // The file is rewritten without what was dropped.
    std::ifstream lines(path);
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line);) ++count;
    EXPECT_LE(count, 2 * 100u + 1000u);
  }
  // Keys older than a day are gone after a restart; the others replay.
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  {
    std::ofstream file(path);
    file << nlohmann::json{{"key", "a"},     {"bodyDigest", "d"},
                           {"status", 201},  {"body", "old"},
                           {"location", ""}, {"timeMillis", now - 25 * 3600000LL}}
                .dump()
         << "\n";
  }
  IdempotencyStore restarted(path, 100);
  restarted.Load();
  EXPECT_EQ(restarted.Size(), 0u);
  EXPECT_EQ(ringwell::testing::ReadFile(path), "");
}

}  // namespace
}  // namespace ringwell::api
