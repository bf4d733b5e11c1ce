// The host refuses to start on a broken configuration (one line on standard
// error naming the cause and the fix, an event, exit code 1, or 2 for an
// unknown argument, nothing created or changed), and while running logs a
// vanished Reports directory once, and its return once. Two hosts on one
// shared root keep a heartbeat each.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "ringwell/common/registry.h"
#include "ringwell/common/status_file.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"
#include "ringwell/testing/wait.h"

namespace ringwell::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ringwell::testing::LibraryPath;
using ringwell::testing::ProgramPath;
using ringwell::testing::RunProgram;
using ringwell::testing::Snapshot;

class HostStartupTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    if (!fs::exists(LibraryPath("dialqueue"))) GTEST_SKIP() << "libdialqueue.so is not built";
  }
  void Repair() {
    fs::permissions(root() + "Inbox", fs::perms(0755));
    fs::create_directories(root() + "Reports");
    fs::remove(registry_path());
    fs::remove_all(registry::DropInDirectory());
    ASSERT_EQ(RunProgram({ProgramPath("ringwell-regsvr"), LibraryPath("tallier"),
                          LibraryPath("dialqueue")}),
              0);
    SetConfigString("RootDir", root());
    SetConfigNumber("AudioFormat", 49);
  }
  int CountEvents(const std::string& text) {
    const auto events = EventLogEntries();
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const auto& e) {
      return e.source == "ringwell-host" && e.text.find(text) != std::string::npos;
    }));
  }
  bool WaitForEvent(const std::string& text) {
    return ringwell::testing::WaitUntil([&] { return CountEvents(text) > 0; }, 60s, 50ms);
  }
  std::string Top() const { return fs::path(registry_path()).parent_path(); }
};

TEST_F(HostStartupTest, BrokenConfigurationsAreRefusedAndChangeNothing) {
  for (const auto& broken : ringwell::testing::BrokenConfigurations(registry_path(), root())) {
    SCOPED_TRACE(broken.name);
    Repair();
    broken.arrange();
    ClearEventLog();
    const std::string before = Snapshot(Top());
    std::vector<std::string> argv = {ProgramPath("ringwell-host"), "--no-pager"};
    if (broken.unknown_switch) argv.push_back(broken.cause);
    const auto result =
        ringwell::testing::RunCapturing(argv, ProgramEnvironment(), broken.enforce_permissions);
    EXPECT_EQ(result.exit_code, broken.unknown_switch ? 2 : 1);
    EXPECT_NE(result.err.find(broken.cause), std::string::npos) << result.err;
    EXPECT_EQ(Snapshot(Top()), before);
    if (broken.unknown_switch) continue;
    EXPECT_EQ(result.err.rfind("ringwell-host: cannot start: ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(CountEvents(broken.cause), 1);
  }
  // Machine detection settings that cannot be used are refused like an
  // unknown argument, naming what is wrong.
  Repair();
  const auto result = ringwell::testing::RunCapturing(
      {ProgramPath("ringwell-host"), "--no-pager", "--machine-detection", "greeting=99"},
      ProgramEnvironment(), false);
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_NE(result.err.find("greeting: \"99\" is not a number of seconds from 0 to 60"),
            std::string::npos)
      << result.err;
}

TEST_F(HostStartupTest, AVanishedReportsDirectoryIsLoggedOncePerChange) {
  Repair();
  ringwell::testing::ChildProcess host;
  ASSERT_TRUE(host.Start({ProgramPath("ringwell-host"), "--no-pager"}, ProgramEnvironment()));
  ASSERT_TRUE(host.WaitForLine("ready", 30s)) << host.output();
  fs::remove_all(root() + "Reports");
  EXPECT_TRUE(WaitForEvent("has vanished"));
  // The host looks at the root before it hands over a request file that
  // appeared: two hand-overs, two more looks. (A request without recipients
  // leaves the scheduler nothing to do.)
  for (const std::string name : {"first.xml", "second.xml"}) {
    const std::string path = root() + "Requests/" + name;
    ringwell::testing::WriteFile(
        path, R"(<Request ID="{R1}" Type="Call"><StartTime/><StopTime/><Recipients/></Request>)");
    EXPECT_TRUE(host.WaitForLine("handed over " + path, 30s)) << host.output();
  }
  EXPECT_EQ(CountEvents("has vanished"), 1);
  fs::create_directories(root() + "Reports");
  EXPECT_TRUE(WaitForEvent("are back"));
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(30s), 0);
  EXPECT_EQ(CountEvents("has vanished"), 1);
  EXPECT_EQ(CountEvents("are back"), 1);
}

TEST_F(HostStartupTest, TwoHostsOnASharedRootKeepAHeartbeatEachAndReadersSeeBoth) {
  Repair();
  SetConfigNumber("SharedRoot", 1);
  SetConfigString("HostId", "box1");
  ringwell::testing::ChildProcess one, two;
  ASSERT_TRUE(one.Start({ProgramPath("ringwell-host"), "--no-pager"}, ProgramEnvironment()));
  ASSERT_TRUE(two.Start({ProgramPath("ringwell-host"), "--host-id", "box2", "--lines", "1"},
                        ProgramEnvironment()));
  ASSERT_TRUE(one.WaitForLine("ready", 30s)) << one.output();
  ASSERT_TRUE(two.WaitForLine("ready", 30s)) << two.output();

  const auto working = [&] {
    std::map<std::string, std::string> pagers;  // by box, of the hosts seen working
    for (const auto& box : status_file::ReadEvery(root(), "ringwell-host")) {
      std::string why;
      if (box.reading && status_file::SeenWorking(*box.reading, 30s, &why)) {
        pagers[box.host] = box.reading->content["pager"].value("kind", "");
      }
    }
    return pagers;
  };
  EXPECT_EQ(working(),
            (std::map<std::string, std::string>{{"box1", "none"}, {"box2", "simulated"}}));
  EXPECT_FALSE(fs::exists(root() + "Status/ringwell-host.json"));

  two.Signal(SIGTERM);
  EXPECT_EQ(two.Wait(30s), 0);
  EXPECT_EQ(working(), (std::map<std::string, std::string>{{"box1", "none"}}));
  EXPECT_TRUE(fs::exists(status_file::PathOf(root(), "ringwell-host", "box2")));
  one.Signal(SIGTERM);
  EXPECT_EQ(one.Wait(30s), 0);
  EXPECT_TRUE(working().empty());
}

}  // namespace
}  // namespace ringwell::host
