// Heartbeat files as a reader (the HTTP API, ringwell-setup --check) meets
// them: fresh, stopped, stale, of a dead process, of another root, missing.
#include "ringwell/common/status_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "ringwell/testing/fixture.h"

namespace ringwell::status_file {
namespace {

using namespace std::chrono_literals;
using ringwell::testing::ReadFile;
using ringwell::testing::RingwellTest;
using ringwell::testing::WriteFile;

class StatusFileTest : public RingwellTest {
 protected:
  std::string WhyNot() {
    std::string problem, why;
    const auto reading = Read(root(), "prepax", &problem);
    if (!reading) return problem;
    return SeenWorking(*reading, 30s, &why) ? "working" : why;
  }
  void Edit(const std::function<void(nlohmann::json&)>& change) {
    auto content = nlohmann::json::parse(ReadFile(PathOf(root(), "prepax")));
    change(content);
    WriteFile(PathOf(root(), "prepax"), content.dump());
  }
};

TEST_F(StatusFileTest, AReaderTellsAWorkingProgramFromAStoppedStaleOrForeignOne) {
  EXPECT_EQ(WhyNot(), "no " + root() + "Status/prepax.json: " +
                          ErrorText(HresultFromWin32(ERROR_PATH_NOT_FOUND)));
  {
    Heartbeat heartbeat(root(), "prepax", 60s, [] { return nlohmann::json{{"workers", 2}}; });
    EXPECT_EQ(WhyNot(), "working");
    const auto content = nlohmann::json::parse(ReadFile(PathOf(root(), "prepax")));
    EXPECT_EQ(content["workers"], 2);
    EXPECT_EQ(content["pid"], ::getpid());
    EXPECT_EQ(content["root"], root());
  }
  EXPECT_EQ(WhyNot().rfind("prepax stopped at 20", 0), 0u) << WhyNot();

  Write(root(), "prepax", "running", std::chrono::system_clock::now(), 2s, {});
  Edit([](nlohmann::json& c) { c["unixMillis"] = c["unixMillis"].get<std::int64_t>() - 95'000; });
  EXPECT_EQ(WhyNot().rfind("prepax last seen 95 s ago", 0), 0u) << WhyNot();

  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  Write(root(), "prepax", "running", std::chrono::system_clock::now(), 2s, {});
  Edit([&](nlohmann::json& c) { c["pid"] = gone; });
  EXPECT_EQ(WhyNot().rfind("prepax (pid " + std::to_string(gone) + ") is not running", 0), 0u)
      << WhyNot();

  // A file copied from another installation's root is not this one's.
  Write(root(), "prepax", "running", std::chrono::system_clock::now(), 2s, {});
  Edit([](nlohmann::json& c) { c["rootId"] = "1:2"; });
  EXPECT_NE(WhyNot().find("another storage root"), std::string::npos) << WhyNot();
  WriteFile(PathOf(root(), "prepax"), "{\"format\": 2}");
  EXPECT_EQ(WhyNot(), root() + "Status/prepax.json is not a status file of format 1");
}

// The boxes of a shared root: a file each, and another box's pid is not
// looked for here (this box's is).
TEST_F(StatusFileTest, EachBoxOfASharedRootKeepsItsOwnFileAndAnotherBoxsPidIsNotLookedFor) {
  SetConfigNumber("SharedRoot", 1);
  SetConfigString("HostId", "box1");
  for (const char* box : {"box1", "box2"}) {
    Write(root(), "prepax", "running", std::chrono::system_clock::now(), 2s, {}, box);
    auto content = nlohmann::json::parse(ReadFile(PathOf(root(), "prepax", box)));
    EXPECT_EQ(content["host"], box);
    content["pid"] = 999'999'999;  // no process of this machine
    WriteFile(PathOf(root(), "prepax", box), content.dump());
  }
  EXPECT_FALSE(std::filesystem::exists(PathOf(root(), "prepax")));
  const std::vector<BoxReading> boxes = ReadEvery(root(), "prepax");
  ASSERT_EQ(boxes.size(), 2u);
  ASSERT_TRUE(boxes[0].reading && boxes[1].reading);
  EXPECT_EQ(boxes[0].host, "box1");
  EXPECT_EQ(boxes[1].host, "box2");
  std::string why;
  EXPECT_FALSE(SeenWorking(*boxes[0].reading, 30s, &why));
  EXPECT_NE(why.find("is not running"), std::string::npos) << why;
  EXPECT_TRUE(SeenWorking(*boxes[1].reading, 30s, &why)) << why;
}

}  // namespace
}  // namespace ringwell::status_file
