#include "sim/scenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace ringwell::host {
namespace {

using ::testing::ElementsAre;

TEST(ScenarioTest, TheFirstMatchingRuleDecidesAttemptByAttempt) {
  Scenario scenario = Scenario::Parse(R"({
    "default": {"outcome": "noanswer"},
    "rules": [
      {"number": "5550100", "outcome": "busy"},
      {"number": "5550101", "attempts": [{"outcome": "busy"}, {"outcome": "answer", "keys": "1#"}]},
      {"number": "555*", "outcome": "answer", "keys": ["12"], "rings": 3, "greeting": 0.5,
       "key_delay": 2, "duration": 40},
      {"number": "55501??", "outcome": "failure"}
    ]})");
  EXPECT_EQ(scenario.NextAttempt("5550100").outcome, Outcome::kBusy);
  EXPECT_EQ(scenario.NextAttempt("5550101").outcome, Outcome::kBusy);
  const Behaviour second = scenario.NextAttempt("5550101");
  EXPECT_EQ(second.outcome, Outcome::kAnswer);
  EXPECT_THAT(second.keys, ElementsAre("1", "#"));
  EXPECT_EQ(scenario.NextAttempt("5550101").outcome, Outcome::kAnswer);  // the last repeats

  const Behaviour pattern = scenario.NextAttempt("5550199");  // "555*" comes first
  EXPECT_EQ(pattern.outcome, Outcome::kAnswer);
  EXPECT_THAT(pattern.keys, ElementsAre("12"));
  EXPECT_EQ(pattern.rings, 3);
  EXPECT_DOUBLE_EQ(pattern.greeting, 0.5);
  EXPECT_DOUBLE_EQ(pattern.key_delay, 2);
  EXPECT_EQ(pattern.duration, 40);
  EXPECT_EQ(scenario.NextAttempt("777").outcome, Outcome::kNoAnswer);
  EXPECT_EQ(Scenario().NextAttempt("777").outcome, Outcome::kAnswer);
  // The sample shipped with the host is valid.
  Scenario sample = Scenario::Load(RINGWELL_HOST_SOURCE_DIR "/scenario.sample.json");
  EXPECT_EQ(sample.NextAttempt("004930123").error, "No dial tone");
  EXPECT_EQ(sample.NextAttempt("5550105").answered_by, AnsweredBy::kMachine);
  EXPECT_EQ(sample.NextAttempt("5550102").answered_by, AnsweredBy::kHuman);
}

TEST(ScenarioTest, MistakesAreNamed) {
  const std::pair<const char*, const char*> mistakes[] = {
      {R"({"default": {"outcome": "maybe"}})", "maybe"},
      {R"({"default": {"answered_by": "robot"}})", "unknown answered_by \"robot\""},
      {R"({"rules": [{"number": "1", "ring": 2}]})", "\"ring\""},
      {R"({"rules": [{"outcome": "busy"}]})", ""},
      {R"({"rules": [{"number": "1", "attempts": []}]})", ""},
      {"{", ""},
  };
  for (const auto& [json, named] : mistakes) {
    EXPECT_THAT([&] { Scenario::Parse(json); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr(named)))
        << json;
  }
  EXPECT_THROW(Scenario::Load("/nonexistent/scenario.json"), std::runtime_error);
}

}  // namespace
}  // namespace ringwell::host
