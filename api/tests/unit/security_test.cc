// Tokens, the rate limit and Idempotency-Key as the routes rely on them.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "idempotency.h"
#include "rate_limiter.h"
#include "ringwell/testing/fixture.h"
#include "token_auth.h"
#include "token_file.h"

namespace ringwell::api {
namespace {

class SecurityTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    ASSERT_GE(sodium_init(), 0);
  }
};

TEST_F(SecurityTest, TokensAreCheckedOnceRememberedAndRevoked) {
  const std::string path = scratch() + "tokens.json";
  std::string ci, ops, problem;
  ASSERT_TRUE(AddToken(path, "ci", {"submit", "read"}, &ci, &problem)) << problem;
  ASSERT_TRUE(AddToken(path, "ops", {"cancel"}, &ops, &problem)) << problem;
  EXPECT_FALSE(AddToken(path, "ci", {"read"}, &ops, &problem));
  EXPECT_EQ(problem, "there is a token named ci already (token revoke ci first)");
  EXPECT_FALSE(AddToken(path, "x", {"admin"}, &ops, &problem));
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(ringwell::testing::ReadFile(path).find(ci), std::string::npos);

  TokenAuthenticator authenticator(path);
  ASSERT_TRUE(authenticator.Load(&problem)) << problem;
  // From many threads at once: each gets the same identity.
  std::atomic<int> right{0};
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] {
        for (int j = 0; j < 20; ++j) {
          const auto identity = authenticator.Verify(ci);
          if (identity && identity->name == "ci" && identity->Has("read") &&
              !identity->Has("cancel") && !authenticator.Verify(ci + "x")) {
            ++right;
          }
        }
      });
    }
  }
  EXPECT_EQ(right, 160);
  EXPECT_FALSE(authenticator.Verify(ops.substr(0, 12) + ci.substr(12)));  // another token's ID
  EXPECT_FALSE(authenticator.Verify(""));

  ASSERT_TRUE(RevokeToken(path, "ci", &problem)) << problem;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (authenticator.Verify(ci) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(authenticator.Verify(ci));
  EXPECT_TRUE(authenticator.Verify(ops));

  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_FALSE(authenticator.Load(&problem));
  EXPECT_EQ(problem, path + " may be read by others than its owner (mode 644); chmod 600 " + path);
}

TEST_F(SecurityTest, TheRateLimitRefillsAndTellsWhenToComeBack) {
  RateLimiter limiter(2, 3);
  int retry_after = 0;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(limiter.Admit("ci", &retry_after)) << i;
  EXPECT_FALSE(limiter.Admit("ci", &retry_after));
  EXPECT_EQ(retry_after, 1);
  EXPECT_TRUE(limiter.Admit("ops", &retry_after));
}

TEST_F(SecurityTest, IdempotencyKeysReplayTheFirstAnswerAndOutliveARestart) {
  const std::string path = scratch() + "idempotency.jsonl";
  IdempotencyStore store(path);
  store.Load();
  IdempotencyStore::Answer answer;
  using Claim = IdempotencyStore::Claim;
  EXPECT_EQ(store.Begin("ci", "k1", "body", &answer), Claim::kNew);
  EXPECT_EQ(store.Begin("ci", "k1", "body", &answer), Claim::kInProgress);
  store.Finish("ci", "k1", {201, "{\"id\": 1}", "/v1/requests/1"});
  EXPECT_EQ(store.Begin("ci", "k1", "other", &answer), Claim::kOtherBody);
  EXPECT_EQ(store.Begin("ops", "k1", "body", &answer), Claim::kNew);
  store.Finish("ops", "k1", {503, "down", ""});  // not final: may be retried
  EXPECT_EQ(store.Begin("ops", "k1", "body", &answer), Claim::kNew);

  IdempotencyStore restarted(path);
  restarted.Load();
  ASSERT_EQ(restarted.Begin("ci", "k1", "body", &answer), Claim::kReplay);
  EXPECT_EQ(answer.status, 201);
  EXPECT_EQ(answer.location, "/v1/requests/1");
  EXPECT_EQ(ringwell::testing::ReadFile(path).find("k1"), std::string::npos);  // digests only
}

TEST_F(SecurityTest, InstancesOnOneRootShareTheirKeysAndADeadInstancesClaimLapses) {
  using Claim = IdempotencyStore::Claim;
  const std::string path = scratch() + "idempotency.jsonl";
  const auto shared = [&path](std::size_t max_entries = 100000,
                              std::chrono::milliseconds claim_for = std::chrono::minutes(2)) {
    auto store =
        std::make_unique<IdempotencyStore>(path, max_entries, std::chrono::hours(24), claim_for);
    store->ShareRoot();
    store->Load();
    return store;
  };
  auto first = shared();
  auto second = shared();
  IdempotencyStore::Answer answer;
  // A key being answered by one instance is being answered for the other.
  ASSERT_EQ(first->Begin("ci", "k1", "body", &answer), Claim::kNew);
  EXPECT_EQ(second->Begin("ci", "k1", "body", &answer), Claim::kInProgress);
  EXPECT_EQ(second->Begin("ci", "k1", "other", &answer), Claim::kOtherBody);
  first->Finish("ci", "k1", {201, "{\"id\": 1}", "/v1/requests/1"});
  first->Release("ci", "k1");
  ASSERT_EQ(second->Begin("ci", "k1", "body", &answer), Claim::kReplay);
  EXPECT_EQ((std::pair{answer.status, answer.location}),
            (std::pair{201, std::string("/v1/requests/1")}));
  EXPECT_EQ(second->Begin("ops", "k1", "body", &answer), Claim::kNew);  // another token's key
  // A key released (an unexpected error) or answered with a failure of the
  // server is free again on every instance.
  second->Release("ops", "k1");
  EXPECT_EQ(first->Begin("ops", "k1", "body", &answer), Claim::kNew);
  first->Finish("ops", "k1", {503, "down", ""});
  EXPECT_EQ(second->Begin("ops", "k1", "body", &answer), Claim::kNew);
  second->Finish("ops", "k1", {201, "made", ""});

  // An instance dies while it answers: its claim lapses after `claim_for`.
  {
    auto dying = shared();
    ASSERT_EQ(dying->Begin("ci", "k2", "body", &answer), Claim::kNew);
  }
  EXPECT_EQ(first->Begin("ci", "k2", "body", &answer), Claim::kInProgress);
  auto impatient = shared(100000, std::chrono::milliseconds(0));
  EXPECT_EQ(impatient->Begin("ci", "k2", "body", &answer), Claim::kNew);
  impatient->Finish("ci", "k2", {201, "k2", ""});
  ASSERT_EQ(first->Begin("ci", "k2", "body", &answer), Claim::kReplay);
  EXPECT_EQ(answer.body, "k2");

  // One instance rewrites the file (it keeps at most 100 keys): the others
  // read it anew, and see what is appended after.
  auto small = shared(100);
  for (int i = 0; i < 700; ++i) {
    const std::string key = "n" + std::to_string(i);
    ASSERT_EQ(small->Begin("ci", key, "body", &answer), Claim::kNew);
    small->Finish("ci", key, {201, key, ""});
  }
  std::size_t lines = 0;
  {
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) ++lines;
  }
  EXPECT_LT(lines, 1400u);  // rewritten without the keys dropped
  ASSERT_EQ(second->Begin("ci", "n699", "body", &answer), Claim::kReplay);
  EXPECT_EQ(answer.body, "n699");
  EXPECT_EQ(first->Begin("ci", "fresh", "body", &answer), Claim::kNew);
  EXPECT_EQ(small->Begin("ci", "fresh", "body", &answer), Claim::kInProgress);
  EXPECT_EQ(ringwell::testing::ReadFile(path).find("fresh"), std::string::npos);  // digests only
}

}  // namespace
}  // namespace ringwell::api
