// ringwell-setup as an administrator runs it: one run prepares a fresh
// machine (storage root, settings, registrations, units), a second changes
// nothing, the hand-written registry keeps its comments, refused runs change
// nothing, and --check names every broken configuration.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "ringwell/common/registry.h"
#include "ringwell/common/version.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"

namespace ringwell::setup {
namespace {

namespace fs = std::filesystem;
using testing::ProgramPath;
using testing::ReadFile;
using testing::Snapshot;
using testing::WriteFile;

constexpr char kHandWritten[] =
    "# Ringwell on this host. Written by hand; the tools keep out of it.\n"
    "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\n"
    "AudioFormat = 49   # telephony: 8 kHz mu-law\n";

class SetupTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    units_ = scratch() + "units/";
    fs::create_directories(units_);
    spool_ = scratch() + "spool/";
    group_ = ::getgrgid(::getegid())->gr_name;
  }
  testing::ProgramResult Setup(std::vector<std::string> arguments, bool enforce = false) {
    arguments.insert(arguments.begin(), ProgramPath("ringwell-setup"));
    return testing::RunCapturing(arguments,
                                 {{"RINGWELL_REGISTRY", registry_path()},
                                  {"RINGWELL_EVENTLOG", event_log_path()},
                                  {"RINGWELL_JOURNAL", "0"},
                                  {"RINGWELL_UNIT_DIR", units_},
                                  {"NO_COLOR", "1"}},
                                 enforce);
  }
  std::string Top() const { return fs::path(registry_path()).parent_path(); }
  std::string units_;
  std::string spool_;
  std::string group_;
};

TEST_F(SetupTest, OneRunPreparesEverythingAndASecondChangesNothing) {
  DeleteConfigKey();
  WriteFile(registry_path(), kHandWritten);
  const auto first = Setup({"--root", spool_, "--group", group_, "--systemd"});
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  EXPECT_EQ(ReadFile(registry_path()), kHandWritten);
  for (const char* dir : {"Inbox", "Requests", "Reports", "Files/{0}", "Status", "Events"}) {
    struct stat st {};
    ASSERT_EQ(::stat((spool_ + dir).c_str(), &st), 0) << dir;
    EXPECT_EQ(st.st_mode & 07777, 02770u) << dir;
    EXPECT_EQ(st.st_gid, ::getegid()) << dir;
  }
  const std::string settings = ReadFile(registry::DropInDirectory() + "ringwell-setup.toml");
  EXPECT_NE(settings.find("RootDir = '" + spool_ + "'"), std::string::npos) << settings;
  EXPECT_EQ(settings.find("AudioFormat"), std::string::npos) << "the hand-written value stays";
  for (const char* drop_in :
       {"libkel.toml", "libtallier.toml", "libwavshift.toml", "libdialqueue.toml", "prepax.toml"}) {
    EXPECT_TRUE(fs::exists(registry::DropInDirectory() + drop_in)) << drop_in;
  }
  EXPECT_EQ(testing::ListDir(units_),
            (std::vector<std::string>{"prepax.service", "ringwell-host.service"}));
  EXPECT_NE(first.out.find("wrote RootDir"), std::string::npos) << first.out;

  const std::string after_first = Snapshot(Top());
  const auto second = Setup({"--root", spool_, "--group", group_, "--systemd"});
  EXPECT_EQ(second.exit_code, 0) << second.err;
  EXPECT_NE(second.out.find("kept " + spool_ + "Inbox"), std::string::npos) << second.out;
  EXPECT_EQ(Snapshot(Top()), after_first);

  // All --check may still find: the daemon and the host, which have not
  // worked on this new storage root.
  const auto check = Setup({"--check"});
  std::istringstream lines(check.out);
  int problems = 0;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("problem:")) continue;
    ++problems;
    EXPECT_NE(line.find("does not work for the storage root " + spool_), std::string::npos) << line;
  }
  EXPECT_EQ(problems, 2) << check.out;
  EXPECT_EQ(check.exit_code, 1) << check.out;
}

TEST_F(SetupTest, RefusedRunsSayWhyAndChangeNothing) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::vector<std::string> arguments;
    int exit_code;
    std::string cause;
  };
  const Case cases[] = {
      {"unknown switch", [] {}, {"--rot", spool_}, 2, "--rot"},
      {"malformed TOML",
       [&] { WriteFile(registry_path(), "x = [1,\n"); },
       {},
       1,
       registry_path() + ":"},
      {"unknown audio format", [] {}, {"--audio-format", "40"}, 1, "audio format 40"},
      {"root is a file",
       [&] { WriteFile(scratch() + "file", ""); },
       {"--root", scratch() + "file"},
       1,
       "not a directory"},
      {"hand-written RootDir differs",
       [&] {
         DeleteConfigKey();
         WriteFile(registry_path(),
                   "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\n"
                   "RootDir = \"/srv/elsewhere/\"\n");
       },
       {},
       1,
       "is set in " + registry_path()},
      {"no component libraries", [] {}, {"--lib-dir", "/nonexistent"}, 1, "libkel.so"},
      {"no unit directory", [&] { fs::remove_all(units_); }, {"--systemd"}, 1, units_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    std::vector<std::string> arguments = {"--root", spool_, "--group", group_};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const std::string before = Snapshot(Top());
    const auto result = Setup(arguments);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.out;
    EXPECT_NE(result.err.find(c.cause), std::string::npos) << result.err;
    EXPECT_EQ(Snapshot(Top()), before);
    fs::remove(registry_path());
    fs::remove_all(registry::DropInDirectory());
    fs::create_directories(units_);
  }
  const auto version = Setup({"--version"});
  EXPECT_EQ(version.out, std::string("ringwell-setup ") + kVersion + "\n");
}

TEST_F(SetupTest, CheckNamesEveryBrokenConfiguration) {
  const std::string group = group_;
  for (const auto& broken : testing::BrokenConfigurations(registry_path(), root())) {
    SCOPED_TRACE(broken.name);
    // A working configuration first, made by the tool itself.
    fs::permissions(root() + "Inbox", fs::perms(0755));
    fs::remove_all(registry::DropInDirectory());
    fs::remove(registry_path());
    ASSERT_EQ(Setup({"--root", root(), "--group", group}).exit_code, 0);
    broken.arrange();
    const std::string before = Snapshot(Top());
    const auto result =
        Setup({broken.unknown_switch ? broken.cause : "--check"}, broken.enforce_permissions);
    EXPECT_EQ(result.exit_code, broken.unknown_switch ? 2 : 1);
    EXPECT_NE((result.out + result.err).find(broken.cause), std::string::npos)
        << result.out << result.err;
    EXPECT_EQ(Snapshot(Top()), before);
  }
}

// The table --list-formats prints is the one --audio-format takes: every
// number from 4 to 68 but 40, each named, the default marked; listing
// changes nothing.
TEST_F(SetupTest, ListFormatsPrintsTheNumbersTheSetupTakes) {
  DeleteConfigKey();  // the fixture's RootDir would win over the set-up's --root
  const std::string before = Snapshot(Top());
  const auto result = Setup({"--list-formats"}, true);
  std::istringstream lines(result.out);
  std::vector<int> numbers;
  std::string line;
  std::string default_line;
  while (std::getline(lines, line)) {
    numbers.push_back(std::stoi(line));
    if (line.find("(default)") != std::string::npos) default_line = line;
  }
  std::vector<int> expected;
  for (int n = 4; n <= 68; ++n) {
    if (n != 40) expected.push_back(n);
  }
  EXPECT_EQ(numbers, expected);
  EXPECT_EQ(default_line, "49  8 kHz mono mu-law (default)");
  EXPECT_EQ(Snapshot(Top()), before);
  const auto last = Setup({"--root", spool_, "--group", group_, "--audio-format", "68"});
  EXPECT_EQ(last.exit_code, 0) << last.err;
}

}  // namespace
}  // namespace ringwell::setup
