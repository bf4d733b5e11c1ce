// The daemon refuses to start on a broken configuration: one line on standard
// error naming the cause and the fix, an event, exit code 1 (2 for an unknown
// argument), and nothing created or changed.
#include <gtest/gtest.h>

#include <filesystem>

#include "prepax_test_support.h"
#include "ringwell/common/registry.h"
#include "ringwell/testing/process.h"

namespace ringwell::prepax {
namespace {

namespace fs = std::filesystem;
using ringwell::testing::LibraryPath;
using ringwell::testing::ProgramPath;
using ringwell::testing::RunProgram;

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
};

TEST_F(PrepaxStartupTest, BrokenConfigurationsAreRefusedAndChangeNothing) {
  ExpectBrokenConfigurationsRefused({ProgramPath("prepax")}, [this] { Repair(); });
}

}  // namespace
}  // namespace ringwell::prepax
