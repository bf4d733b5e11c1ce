// The daemon refuses to start on a broken configuration: one line on standard
// error naming the cause and the fix, an event, exit code 1 (2 for an unknown
// argument), and nothing created or changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "prepax_test_support.h"
#include "ringwell/common/registry.h"
#include "ringwell/testing/process.h"

namespace ringwell::prepax {
namespace {

namespace fs = std::filesystem;
using ringwell::testing::LibraryPath;
using ringwell::testing::ProgramPath;
using ringwell::testing::RunCapturing;
using ringwell::testing::RunProgram;
using ringwell::testing::Snapshot;

class PrepaxStartupTest : public testing::PrepaxTest {
 protected:
  // A working configuration, as the test's set-up made it.
  void Repair() {
    fs::permissions(root() + "Inbox", fs::perms(0755));
    fs::create_directories(root() + "Reports");
    fs::remove(registry_path());
    fs::remove_all(registry::DropInDirectory());
    ASSERT_EQ(RunProgram({ProgramPath("ringwell-regsvr"), LibraryPath("tallier"),
                          LibraryPath("wavshift")}),
              0);
    ASSERT_EQ(RunProgram({ProgramPath("prepax"), "-RegServer"}, ProgramEnvironment()), 0);
    SetConfigString("RootDir", root());
    SetConfigNumber("AudioFormat", testing::kTestFormat);
  }
  std::string Top() const { return fs::path(registry_path()).parent_path(); }
};

TEST_F(PrepaxStartupTest, BrokenConfigurationsAreRefusedAndChangeNothing) {
  for (const auto& broken : ringwell::testing::BrokenConfigurations(registry_path(), root())) {
    SCOPED_TRACE(broken.name);
    Repair();
    broken.arrange();
    ClearEventLog();
    const std::string before = Snapshot(Top());
    std::vector<std::string> argv = {ProgramPath("prepax")};
    if (broken.unknown_switch) argv.push_back(broken.cause);
    const auto result = RunCapturing(argv, ProgramEnvironment(), broken.enforce_permissions);
    EXPECT_EQ(result.exit_code, broken.unknown_switch ? 2 : 1);
    EXPECT_NE(result.err.find(broken.cause), std::string::npos) << result.err;
    EXPECT_EQ(Snapshot(Top()), before);
    if (broken.unknown_switch) continue;
    EXPECT_EQ(result.err.rfind("prepax: cannot start: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("; to fix: "), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    const auto events = EventLogEntries();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().type, "error");
    EXPECT_NE(events.back().text.find(broken.cause), std::string::npos) << events.back().text;
  }
}

}  // namespace
}  // namespace ringwell::prepax
