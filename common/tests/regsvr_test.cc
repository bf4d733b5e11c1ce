// ringwell-regsvr as an installer runs it: what it refuses (exit code, the
// cause on standard error, nothing created or changed) and that the
// configuration a person wrote keeps its comments.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "ringwell/common/registry.h"
#include "ringwell/common/version.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"

namespace ringwell {
namespace {

using testing::BuildDir;
using testing::ProgramPath;
using testing::ReadFile;
using testing::RunCapturing;
using testing::Snapshot;
using testing::WriteFile;

constexpr char kHandWritten[] =
    "# Ringwell on this host -- written by hand.\n"
    "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\n"
    "RootDir = \"/srv/ringwell/\"  # the big disk\n";

class RegsvrTest : public testing::RingwellTest {
 protected:
  testing::ProgramResult Regsvr(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), ProgramPath("ringwell-regsvr"));
    return RunCapturing(arguments, {{"RINGWELL_REGISTRY", registry_path()}});
  }
  // The test's directory: storage root, registry file and drop-ins.
  std::string Top() const { return std::filesystem::path(registry_path()).parent_path(); }
};

TEST_F(RegsvrTest, BrokenCallsAndConfigurationsAreRefusedAndChangeNothing) {
  const std::string library = testing::TestLibraryPath("ringwell_test_component");
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::vector<std::string> arguments;
    int exit_code;
    std::vector<std::string> stderr_names;
  };
  const std::string drop_ins = registry::DropInDirectory();
  const Case cases[] = {
      {"unknown switch", [] {}, {"-x", library}, 2, {"unknown option \"-x\"", "usage:"}},
      {"no library", [] {}, {"-u"}, 2, {"no library given", "usage:"}},
      {"malformed store file",
       [&] { WriteFile(registry_path(), "[HKEY_LOCAL_MACHINE\nRootDir = 1\n"); },
       {library},
       1,
       {registry_path() + ":1:"}},
      {"malformed drop-in",
       [&] { WriteFile(drop_ins + "zz.toml", "a = \n"); },
       {library},
       1,
       {drop_ins + "zz.toml:1:"}},
      {"no such library",
       [] {},
       {"/nonexistent/libnothing.so"},
       1,
       {"cannot load /nonexistent/libnothing.so"}},
      {"not a component library",
       [] {},
       {testing::TestLibraryPath("ringwell_test_no_entry")},
       1,
       {"does not export DllRegisterServer"}},
      {"drop-in directory is a file",
       [&] {
         std::filesystem::remove_all(drop_ins);
         WriteFile(drop_ins.substr(0, drop_ins.size() - 1), "");
       },
       {library},
       1,
       {drop_ins}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(registry_path());
    std::filesystem::remove_all(drop_ins);
    std::filesystem::create_directories(drop_ins);
    c.arrange();
    const std::string before = Snapshot(Top());
    const auto result = Regsvr(c.arguments);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    for (const std::string& name : c.stderr_names) {
      EXPECT_NE(result.err.find(name), std::string::npos) << result.err;
    }
    EXPECT_EQ(Snapshot(Top()), before);
  }
}

TEST_F(RegsvrTest, RegisteringKeepsTheHandWrittenFileAndSaysWhere) {
  WriteFile(registry_path(), kHandWritten);
  const std::string library = testing::TestLibraryPath("ringwell_test_component");
  const auto registered = Regsvr({library});
  EXPECT_EQ(registered.exit_code, 0) << registered.err;
  EXPECT_EQ(registered.out, "ringwell-regsvr: Registered " + library + " in " +
                                registry::DropInDirectory() + "libringwell_test_component.toml\n");
  const auto again = Regsvr({library});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  const auto removed = Regsvr({"-u", library});
  EXPECT_EQ(removed.exit_code, 0) << removed.err;
  EXPECT_NE(removed.out.find("Unregistered " + library), std::string::npos);
  EXPECT_EQ(ReadFile(registry_path()), kHandWritten);
  EXPECT_FALSE(
      std::filesystem::exists(registry::DropInDirectory() + "libringwell_test_component.toml"));

  const auto version = Regsvr({"--version"});
  EXPECT_EQ(version.out, std::string("ringwell-regsvr ") + kVersion + "\n");
}

}  // namespace
}  // namespace ringwell
