// A client, a daemon and a telephony host in three different TZ settings
// agree on when a call is due: every one of them reads and writes times in
// the installation's zone from the registry.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "ringwell/common/text.h"
#include "road_fixture.h"

namespace ringwell::road {
namespace {

using namespace std::chrono_literals;

// A moment as ISO 8601 with the given offset east of UTC, e.g. "-05:00".
std::string IsoAt(std::chrono::system_clock::time_point moment, std::chrono::minutes offset) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(moment + offset);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  const int minutes = static_cast<int>(offset.count()) % (24 * 60);
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", minutes < 0 ? '-' : '+', std::abs(minutes) / 60,
                std::abs(minutes) % 60);
  return std::string(text) + zone;
}

class RoadTimeZoneTest : public RoadTest {
 protected:
  void SetUp() override {
    RoadTest::SetUp();
    SetConfigString("TimeZone", "Europe/Berlin");
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
    setenv("TZ", "Asia/Tokyo", 1);  // the daemon and the host inherit it
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    RoadTest::TearDown();
  }
  // Runs kel as a user in New York; returns its exit code, output in `output`.
  int Kel(const std::string& arguments, std::string* output) {
    return ringwell::testing::RunProgram(
        {"/bin/sh", "-c", ringwell::testing::ProgramPath("kel") + " " + arguments + " 2>&1"},
        {{"RINGWELL_REGISTRY", registry_path()}, {"TZ", "America/New_York"}}, output);
  }
  bool had_tz_ = false;
  std::string saved_tz_;
};

TEST_F(RoadTimeZoneTest, ACallIsPlacedInTheWindowTheClientMeant) {
  StartServices(R"({"default": {"outcome": "answer"}})", {"--lines", "1"});
  const auto now = std::chrono::system_clock::now();
  std::string output;
  // Now, written as UTC and as Indian time: due at once.
  ASSERT_EQ(Kel("submit --to 5550001 --say 'Due now' --from " + IsoAt(now - 1min, 0min) +
                    " --until " + IsoAt(now + 20min, 330min),
                &output),
            0)
      << output;
  const std::string due(Trim(output));
  // In an hour, written as New York time: not due yet.
  ASSERT_EQ(
      Kel("submit --to 5550002 --say 'Later' --from " + IsoAt(now + 1h, -300min) + " --until +2h",
          &output),
      0)
      << output;
  const std::string later(Trim(output));

  ASSERT_TRUE(WaitForStatus(due, "Completed", 120s)) << Status(due);
  auto results = Results(Report(due).Get());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].answers, std::vector<std::string>{"Answered"});
  ASSERT_TRUE(WaitForStatus(later, "Scheduled", 30s)) << Status(later);
  EXPECT_TRUE(Results(Report(later).Get())[0].answers.empty());

  // The JSON report gives the window with Berlin's offset, the moment meant.
  ASSERT_EQ(Kel("report --json " + later, &output), 0) << output;
  const auto json = nlohmann::json::parse(output);
  const std::string start = json["window"]["start"];
  const std::string offset = start.substr(19);
  EXPECT_TRUE(offset == "+01:00" || offset == "+02:00") << start;
  StopServices();
}

}  // namespace
}  // namespace ringwell::road
