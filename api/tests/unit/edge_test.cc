// The edge's own pieces: the metrics text serializer (what a scraper reads,
// whatever a client sent), keyed token hashes and the upgrade of token files
// written with Argon2id, and the per-address refusal budget.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "metrics.h"
#include "rate_limiter.h"
#include "ringwell/common/files.h"
#include "ringwell/testing/fixture.h"
#include "token_auth.h"
#include "token_file.h"

namespace ringwell::api {
namespace {

TEST(MetricsTextTest, EscapesLabelValuesAndHelpAndWritesNumbersPrometheusReads) {
  MetricsText text;
  text.Family("x_total", "counter", "Help with a \\ backslash\nand a second line.")
      .Sample("x_total", {{"method", "GET\"}"}, {"path", "a\\b\nc"}}, std::uint64_t{3})
      .Sample("x_total", {}, 0.0005)
      .Sample("x_total", {{"le", "+Inf"}}, std::numeric_limits<double>::infinity())
      .Sample("x_total", {}, -std::numeric_limits<double>::infinity())
      .Sample("x_total", {}, std::nan(""))
      .Sample("x_total", {{"a", ""}, {"b", "c"}}, 2.5);
  EXPECT_EQ(text.text(),
            "# HELP x_total Help with a \\\\ backslash\\nand a second line.\n"
            "# TYPE x_total counter\n"
            "x_total{method=\"GET\\\"}\",path=\"a\\\\b\\nc\"} 3\n"
            "x_total 0.0005\n"
            "x_total{le=\"+Inf\"} +Inf\n"
            "x_total -Inf\n"
            "x_total NaN\n"
            "x_total{a=\"\",b=\"c\"} 2.5\n");
  // The older helpers write the same.
  EXPECT_EQ(LabelValue("GET\"}\n\\"), "GET\\\"}\\n\\\\");
  EXPECT_EQ(MetricHeader("y", "gauge", "a\nb"), "# HELP y a\\nb\n# TYPE y gauge\n");
}

TEST(MetricsTextTest, MethodsOutsideTheKnownSetCountAsOther) {
  for (const char* known : {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
    EXPECT_EQ(MethodLabel(known), known);
  }
  for (const char* odd : {"GET\"}", "get", "BREW", "", "PROPFIND"}) {
    EXPECT_EQ(MethodLabel(odd), "other") << odd;
  }
  Metrics metrics;
  for (int i = 0; i < 2000; ++i) {
    metrics.ObserveRequest("other", "M" + std::to_string(i), 405, 0.001);
  }
  metrics.ObserveRequest("/healthz", "GET\"}", 200, 0.001);
  const std::string page = metrics.Render();
  EXPECT_NE(page.find("ringwell_api_requests_total{route=\"other\",method=\"other\",code=\"405\"} "
                      "2000\n"),
            std::string::npos);
  EXPECT_NE(
      page.find(
          "ringwell_api_requests_total{route=\"/healthz\",method=\"other\",code=\"200\"} 1\n"),
      std::string::npos);
  EXPECT_EQ(page.find("M1"), std::string::npos);
  EXPECT_EQ(page.find("GET\""), std::string::npos);
}

class TokenFileTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    ASSERT_GE(sodium_init(), 0);
  }
};

TEST_F(TokenFileTest, NewTokensAreKeptAsKeyedHashesAndAnUnknownIdAnswersLikeAWrongSecret) {
  const std::string path = scratch() + "tokens.json";
  std::string ci, problem;
  ASSERT_TRUE(AddToken(path, "ci", {"read"}, &ci, &problem)) << problem;
  const auto content = nlohmann::json::parse(ringwell::testing::ReadFile(path));
  const std::string hash = content["tokens"][0]["hash"];
  EXPECT_EQ(hash.rfind("$blake2b-keyed$", 0), 0u) << hash;
  EXPECT_TRUE(content.contains("key"));
  EXPECT_EQ(ringwell::testing::ReadFile(path).find(ci), std::string::npos);

  TokenAuthenticator authenticator(path);
  ASSERT_TRUE(authenticator.Load(&problem)) << problem;
  ASSERT_TRUE(authenticator.Verify(ci));
  std::string wrong_secret = ci;
  wrong_secret.back() = wrong_secret.back() == 'A' ? 'B' : 'A';
  std::string unknown_id = ci;
  unknown_id[3] = unknown_id[3] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(authenticator.Verify(wrong_secret));
  EXPECT_FALSE(authenticator.Verify(unknown_id));
  EXPECT_FALSE(authenticator.Verify("rw_"));
  EXPECT_FALSE(authenticator.Verify(std::string(300, 'a')));
  // The key is the file's: another process reading it agrees.
  TokenAuthenticator other(path);
  ASSERT_TRUE(other.Load(&problem)) << problem;
  EXPECT_TRUE(other.Verify(ci));
}

TEST_F(TokenFileTest, ATokenWithAnArgon2idHashIsVerifiedOnceAndRewrittenKeyed) {
  // A file as it was written before: no key, a password hash.
  const std::string token = "rw_Q7PXK2MA_" + std::string(43, 'x');
  char hash[crypto_pwhash_STRBYTES];
  ASSERT_EQ(crypto_pwhash_str(hash, token.data(), token.size(), crypto_pwhash_OPSLIMIT_MIN,
                              crypto_pwhash_MEMLIMIT_MIN),
            0);
  const std::string path = scratch() + "tokens.json";
  const nlohmann::json old = {{"format", 1},
                              {"tokens",
                               {{{"name", "ops"},
                                 {"id", "Q7PXK2MA"},
                                 {"scopes", {"read", "cancel"}},
                                 {"hash", hash},
                                 {"created", "2026-12-01T09:00:00Z"}}}}};
  ASSERT_TRUE(Succeeded(WriteFileAtomically(path, old.dump(), Durability::kSyncedLater)));
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);

  TokenAuthenticator authenticator(path);
  std::string problem;
  ASSERT_TRUE(authenticator.Load(&problem)) << problem;
  // A wrong secret leaves the entry as it is.
  EXPECT_FALSE(authenticator.Verify("rw_Q7PXK2MA_" + std::string(43, 'y')));
  EXPECT_NE(ringwell::testing::ReadFile(path).find("$argon2id$"), std::string::npos);

  const auto identity = authenticator.Verify(token);
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->name, "ops");
  EXPECT_TRUE(identity->Has("cancel"));
  const auto now = nlohmann::json::parse(ringwell::testing::ReadFile(path));
  EXPECT_EQ(now["tokens"][0]["hash"].get<std::string>().rfind("$blake2b-keyed$", 0), 0u);
  EXPECT_EQ(now["tokens"][0]["created"], "2026-12-01T09:00:00Z");
  EXPECT_TRUE(now.contains("key"));
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  TokenAuthenticator restarted(path);
  ASSERT_TRUE(restarted.Load(&problem)) << problem;
  EXPECT_TRUE(restarted.Verify(token));
  EXPECT_FALSE(restarted.Verify("rw_Q7PXK2MA_" + std::string(43, 'y')));
}

TEST(RateLimiterTest, RefusalsAreChargedOnlyWhenTheyHappen) {
  RateLimiter refusals(1, 2);
  int retry_after = 0;
  EXPECT_TRUE(refusals.Allows("127.0.0.9", &retry_after));
  EXPECT_TRUE(refusals.Allows("127.0.0.9", &retry_after));
  EXPECT_TRUE(refusals.Allows("127.0.0.9", &retry_after));  // asking costs nothing
  refusals.Charge("127.0.0.9");
  refusals.Charge("127.0.0.9");
  EXPECT_FALSE(refusals.Allows("127.0.0.9", &retry_after));
  EXPECT_EQ(retry_after, 1);
  EXPECT_TRUE(refusals.Allows("127.0.0.10", &retry_after));
  // Many addresses: the table stays bounded and those used recently stay.
  for (int i = 0; i < 20000; ++i) refusals.Allows("10.0." + std::to_string(i), &retry_after);
  EXPECT_FALSE(refusals.Allows("127.0.0.9", &retry_after));
}

}  // namespace
}  // namespace ringwell::api
