// ringwell-setup --check as an administrator meets it on a first day: every
// setting is checked against its kind and range and a misspelt one is named;
// the daemon and the host count only when their heartbeat shows them working
// on this storage root; as root, the storage root is tried as the user the
// services run as; and each "to fix" it prints works when it is run.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"

namespace ringwell::setup {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ProgramPath;
using testing::ReadFile;
using testing::WriteFile;

constexpr char kTable[] = "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\n";

class SetupCheckTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    units_ = scratch() + "units/";
    fs::create_directories(units_);
    // The tests' own group, so that no set-up makes the group ringwell.
    ASSERT_EQ(Setup({"--root", root(), "--group", Group()}).exit_code, 0);
  }
  // nogroup as root: the group of the user nobody, whom the access test takes on.
  std::string Group() const {
    return ::getegid() == 0 ? "nogroup" : ::getgrgid(::getegid())->gr_name;
  }
  testing::ProgramResult Setup(std::vector<std::string> arguments,
                               std::map<std::string, std::string> env = {}) {
    arguments.insert(arguments.begin(), ProgramPath("ringwell-setup"));
    env.insert({{"RINGWELL_REGISTRY", registry_path()},
                {"RINGWELL_EVENTLOG", event_log_path()},
                {"RINGWELL_JOURNAL", "0"},
                {"RINGWELL_UNIT_DIR", units_},
                {"NO_COLOR", "1"}});
    return testing::RunCapturing(arguments, env);
  }
  // The problem lines of --check that contain `text`.
  std::vector<std::string> Problems(const std::string& output, const std::string& text) {
    std::vector<std::string> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("problem: ") && line.find(text) != std::string::npos) {
        found.push_back(line);
      }
    }
    return found;
  }
  // Runs the "ringwell-setup ..." command a problem line gives as its fix.
  testing::ProgramResult RunHint(const std::string& line) {
    std::string fix = line.substr(line.find("; to fix: ") + 10);
    EXPECT_TRUE(fix.starts_with("ringwell-setup")) << line;
    fix = fix.substr(0, fix.find(" ("));
    fix = fix.substr(0, fix.find(','));
    std::istringstream words(fix);
    std::vector<std::string> arguments;
    for (std::string word; words >> word;) arguments.push_back(word);
    arguments.erase(arguments.begin());
    return Setup(arguments);
  }
  std::string units_;
};

TEST_F(SetupCheckTest, EverySettingIsCheckedAgainstItsKindAndRange) {
  WriteFile(registry_path(), std::string(kTable) +
                                 "MaxTextBytes = -5\n"
                                 "MaxRequestParts = \"many\"\n"
                                 "MaxAudioSecond = 5\n"
                                 "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell.Api]\n"
                                 "Listn = \"0.0.0.0:8725\"\n");
  const auto check = Setup({"--check"});
  EXPECT_EQ(check.exit_code, 1);
  const auto range = Problems(check.out, "MaxTextBytes = -5");
  ASSERT_EQ(range.size(), 1u) << check.out;
  EXPECT_NE(range[0].find(registry_path()), std::string::npos) << range[0];
  EXPECT_NE(range[0].find("from 0 to 1073741824"), std::string::npos) << range[0];
  EXPECT_EQ(Problems(check.out, "MaxRequestParts = \"many\"").size(), 1u) << check.out;
  const auto unknown = Problems(check.out, "unknown setting MaxAudioSecond = 5");
  ASSERT_EQ(unknown.size(), 1u) << check.out;
  EXPECT_NE(unknown[0].find("MaxAudioSeconds"), std::string::npos) << "the names that are known";
  EXPECT_EQ(Problems(check.out, "unknown setting Listn").size(), 1u) << check.out;

  // A misspelt setting stops no program; a value out of range stops them.
  const auto setup = Setup({"--group", Group()});
  EXPECT_EQ(setup.exit_code, 1) << setup.err;
  EXPECT_NE(setup.err.find("warning: unknown setting MaxAudioSecond"), std::string::npos);
  EXPECT_NE(setup.err.find("still a problem: the setting MaxTextBytes = -5"), std::string::npos);
  WriteFile(registry_path(), std::string(kTable) + "MaxTextBytes = 0\nMaxAudioSecond = 5\n");
  const auto fixed = Setup({"--group", Group()});
  EXPECT_EQ(fixed.exit_code, 0) << fixed.err;
  EXPECT_NE(fixed.err.find("warning: unknown setting MaxAudioSecond"), std::string::npos);
}

TEST_F(SetupCheckTest, LessFreeSpaceThanMinFreeSpaceKBIsAProblem) {
  const std::string rest = "RootDir = \"" + root() + "\"\nAudioFormat = 49\n";
  // More than any test machine has free: about 4 TB.
  WriteFile(registry_path(), std::string(kTable) + rest + "MinFreeSpaceKB = 4294967295\n");
  const auto check = Setup({"--check"});
  EXPECT_EQ(check.exit_code, 1);
  const auto short_of_space = Problems(check.out, "new requests wait in Inbox or are refused");
  ASSERT_EQ(short_of_space.size(), 1u) << check.out;
  EXPECT_NE(short_of_space[0].find("the storage root " + root() + " has "), std::string::npos)
      << short_of_space[0];
  EXPECT_NE(short_of_space[0].find("(MinFreeSpaceKB)"), std::string::npos) << short_of_space[0];
  EXPECT_TRUE(Problems(check.out, "MinFreeSpaceKB = ").empty()) << "a known setting in range";

  WriteFile(registry_path(), std::string(kTable) + rest + "MinFreeSpaceKB = 1\n");
  EXPECT_TRUE(Problems(Setup({"--check"}).out, "less than the").empty());
}

// A root that boxes share: SharedRoot is a known setting, a lock through one
// descriptor must be refused through another, and the box's host name is told.
TEST_F(SetupCheckTest, ASharedRootIsToldWithItsLockTestAndTheHostName) {
  const std::string rest = "RootDir = \"" + root() + "\"\nAudioFormat = 49\n";
  const auto notes = [](const std::string& output, const std::string& text) {
    std::vector<std::string> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("note: ") && line.find(text) != std::string::npos) {
        found.push_back(line);
      }
    }
    return found;
  };
  WriteFile(registry_path(), std::string(kTable) + rest + "SharedRoot = 1\nLeaseSeconds = 20\n");
  const auto shared = Setup({"--check"});
  EXPECT_TRUE(Problems(shared.out, "SharedRoot").empty()) << shared.out;
  EXPECT_TRUE(Problems(shared.out, "LeaseSeconds").empty()) << shared.out;
  EXPECT_EQ(notes(shared.out, "is on a local file system").size(), 1u) << shared.out;
  EXPECT_EQ(notes(shared.out, "Requests/.owners taken through one descriptor is refused").size(),
            1u)
      << shared.out;
  EXPECT_EQ(notes(shared.out, "this box takes shares as host ").size(), 1u) << shared.out;

  WriteFile(registry_path(), std::string(kTable) + rest + "SharedRoot = 2\n");
  EXPECT_EQ(Problems(Setup({"--check"}).out, "SharedRoot = 2").size(), 1u);
  // A root of one box says nothing of sharing.
  WriteFile(registry_path(), std::string(kTable) + rest);
  const auto alone = Setup({"--check"});
  EXPECT_TRUE(notes(alone.out, "shares").empty()) << alone.out;
  EXPECT_TRUE(notes(alone.out, ".owners").empty()) << alone.out;
}

TEST_F(SetupCheckTest, OnlyAHostWorkingOnThisStorageRootCounts) {
  const auto host_problems = [&] {
    return Problems(Setup({"--check"}).out,
                    "the telephony host does not work for the storage root " + root());
  };
  EXPECT_EQ(host_problems().size(), 1u) << "none has run here";

  // A host on another storage root is not this installation's.
  const std::string other = scratch() + "other/";
  for (const char* dir : {"Inbox", "Requests", "Reports", "Files/{0}"}) {
    fs::create_directories(other + dir);
  }
  {
    testing::ChildProcess host;
    ASSERT_TRUE(host.Start({ProgramPath("ringwell-host"), "--root", other, "--no-pager"},
                           ProgramEnvironment()));
    ASSERT_TRUE(host.WaitForLine("ringwell-host: ready", 30s)) << host.output();
    EXPECT_EQ(host_problems().size(), 1u);
    host.Signal(SIGTERM);
    host.Wait(30s);
  }

  // This root's host: its lines are told, and nothing is wrong with it.
  testing::ChildProcess host;
  ASSERT_TRUE(host.Start({ProgramPath("ringwell-host"), "--lines", "1-3", "--pager-line", "7"},
                         ProgramEnvironment()));
  ASSERT_TRUE(host.WaitForLine("ringwell-host: ready", 30s)) << host.output();
  const auto check = Setup({"--check"});
  EXPECT_TRUE(Problems(check.out, "telephony host").empty()) << check.out;
  EXPECT_NE(
      check.out.find("note: ringwell-host (pid " + std::to_string(host.pid()) +
                     "): simulated lines 1,2,3, simulated pager on line 7 (pages are not sent)"),
      std::string::npos)
      << check.out;

  // Killed, it leaves a heartbeat that says "running": its pid is gone.
  host.Signal(SIGKILL);
  host.Wait(30s);
  const auto stale = host_problems();
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_NE(stale[0].find("is not running"), std::string::npos) << stale[0];
}

TEST_F(SetupCheckTest, OnASharedRootThisBoxsHostMustWorkAndTheOthersAreTold) {
  SetConfigNumber("SharedRoot", 1);
  SetConfigString("HostId", "box1");
  testing::ChildProcess other;
  ASSERT_TRUE(other.Start({ProgramPath("ringwell-host"), "--host-id", "box2", "--lines", "1"},
                          ProgramEnvironment()));
  ASSERT_TRUE(other.WaitForLine("ringwell-host: ready", 30s)) << other.output();
  auto check = Setup({"--check"});
  const auto problems =
      Problems(check.out, "the telephony host does not work for the storage root " + root());
  ASSERT_EQ(problems.size(), 1u) << check.out;
  EXPECT_NE(problems[0].find("Status/ringwell-host-box1.json"), std::string::npos) << problems[0];
  const std::string told = "note: ringwell-host (on box2, pid " + std::to_string(other.pid()) +
                           "): simulated lines 1, simulated pager";
  EXPECT_NE(check.out.find(told), std::string::npos) << check.out;

  testing::ChildProcess own;
  ASSERT_TRUE(own.Start({ProgramPath("ringwell-host"), "--no-pager"}, ProgramEnvironment()));
  ASSERT_TRUE(own.WaitForLine("ringwell-host: ready", 30s)) << own.output();
  check = Setup({"--check"});
  EXPECT_TRUE(Problems(check.out, "telephony host").empty()) << check.out;
  EXPECT_NE(check.out.find("note: ringwell-host (on box1, pid " + std::to_string(own.pid())),
            std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find(told), std::string::npos) << check.out;
  for (testing::ChildProcess* host : {&own, &other}) {
    host->Signal(SIGTERM);
    host->Wait(30s);
  }
}

TEST_F(SetupCheckTest, AsRootTheStorageRootIsTriedAsTheServiceUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can take on another user's ids";
  // The units the set-up would find: prepax runs as nobody in the group nogroup.
  WriteFile(units_ + "prepax.service", "[Service]\nUser=nobody\nGroup=nogroup\n");
  // The test's directory (made for root alone) lets others pass to the root.
  fs::permissions(fs::path(registry_path()).parent_path(), fs::perms(0711));
  const auto before = Setup({"--check"});
  EXPECT_TRUE(Problems(before.out, "service user").empty()) << before.out;

  fs::permissions(root() + "Reports", fs::perms(0750));  // root may write; nobody may not
  const auto check = Setup({"--check"});
  const auto problems = Problems(check.out, "the directory " + root() +
                                                "Reports is not writable "
                                                "for the service user "
                                                "nobody");
  ASSERT_EQ(problems.size(), 1u) << check.out;
  EXPECT_NE(check.out.find("note: tested the storage root as the service user nobody"),
            std::string::npos)
      << check.out;
  const auto fix = RunHint(problems[0]);
  EXPECT_EQ(fix.exit_code, 0) << fix.err;
  // (The set-up registers prepax without a unit: it removed the test's.)
  WriteFile(units_ + "prepax.service", "[Service]\nUser=nobody\nGroup=nogroup\n");
  const auto after = Setup({"--check"});
  EXPECT_NE(after.out.find("note: tested the storage root as the service user nobody"),
            std::string::npos)
      << after.out;
  EXPECT_TRUE(Problems(after.out, "service user").empty()) << after.out;
}

TEST_F(SetupCheckTest, EveryHintWorksWhereItIsPrinted) {
  // An unknown audio format in the hand-written file is changed there: the
  // option would be refused.
  WriteFile(registry_path(), std::string(kTable) + "AudioFormat = 40   # mine\n");
  auto problems = Problems(Setup({"--check"}).out, "the audio format 40");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("to fix: set AudioFormat = 49 in " + registry_path()),
            std::string::npos)
      << problems[0];
  const auto refused = Setup({"--group", Group()});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find("set AudioFormat = 49"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find("give --audio-format"), std::string::npos) << refused.err;
  WriteFile(registry_path(), std::string(kTable) + "AudioFormat = 49   # mine\n");
  EXPECT_TRUE(Problems(Setup({"--check"}).out, "audio format").empty());

  // The same value in the set-up's own drop-in: the option it names works.
  fs::remove(registry_path());
  {
    const registry::DropInScope scope("ringwell-setup");
    ASSERT_EQ(registry::Edit([](registry::Tree& tree) {
                tree.Set(kConfigKey, kAudioFormatValue, std::uint32_t{40});
              }),
              0);
  }
  problems = Problems(Setup({"--check"}).out, "the audio format 40");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(RunHint(problems[0]).exit_code, 0);
  EXPECT_TRUE(Problems(Setup({"--check"}).out, "audio format").empty());

  // A missing directory and a component no longer registered: the set-up
  // named, with the group the storage root has, puts them back.
  fs::remove_all(root() + "Reports");
  fs::remove(registry::DropInDirectory() + "libtallier.toml");
  const auto check = Setup({"--check"});
  for (const std::string& text : {root() + "Reports/ does not exist", std::string("Tallier")}) {
    problems = Problems(check.out, text);
    ASSERT_EQ(problems.size(), 1u) << check.out;
    EXPECT_EQ(RunHint(problems[0]).exit_code, 0);
  }
  const auto after = Setup({"--check"});
  EXPECT_TRUE(Problems(after.out, "Reports").empty()) << after.out;
  EXPECT_TRUE(Problems(after.out, "Tallier").empty()) << after.out;

  // With the package's units installed, the set-up points at them and never
  // at --systemd, which it refuses then.
  const std::string packaged = scratch() + "package-units/";
  fs::create_directories(packaged);
  WriteFile(packaged + "prepax.service", "[Service]\nExecStart=/usr/bin/prepax\n");
  const auto done = Setup({"--group", Group()}, {{"RINGWELL_PACKAGE_UNIT_DIR", packaged}});
  EXPECT_EQ(done.exit_code, 0) << done.err;
  EXPECT_NE(done.out.find("systemctl enable --now prepax ringwell-host"), std::string::npos)
      << done.out;
  EXPECT_EQ(done.out.find("--systemd"), std::string::npos) << done.out;
}

}  // namespace
}  // namespace ringwell::setup
