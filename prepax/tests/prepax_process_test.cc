// The prepax program as an operator runs it: its switches, and the daemon
// taking a request from Inbox to "Scheduled", stopping on SIGTERM, and
// resuming a request it was killed in the middle of.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "file_processor.h"  // kPreprocessingMarker
#include "identifiers.h"
#include "prepax_test_support.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/version.h"
#include "ringwell/testing/process.h"

namespace ringwell::prepax {
namespace {

using namespace std::chrono_literals;
using ringwell::testing::ChildProcess;
using ringwell::testing::ListDir;
using ringwell::testing::ProgramPath;
using ringwell::testing::ReadFile;

class PrepaxProcessTest : public testing::PrepaxTest {
 protected:
  void SetUp() override {
    PrepaxTest::SetUp();
    unit_dir_ = scratch() + "units/";
    std::filesystem::create_directories(unit_dir_);
  }
  std::map<std::string, std::string> Environment() const {
    return {{"RINGWELL_REGISTRY", registry_path()},
            {"RINGWELL_EVENTLOG", event_log_path()},
            {"RINGWELL_JOURNAL", "0"},
            {"RINGWELL_UNIT_DIR", unit_dir_}};
  }
  int Run(const std::vector<std::string>& arguments) { return RunCapturing(arguments).exit_code; }
  ringwell::testing::ProgramResult RunCapturing(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {ProgramPath("prepax")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return ringwell::testing::RunCapturing(argv, Environment());
  }
  void StartDaemon(ChildProcess& daemon, const std::vector<std::string>& arguments = {},
                   const std::map<std::string, std::string>& more_environment = {}) {
    std::vector<std::string> argv = {ProgramPath("prepax")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto environment = Environment();
    environment.insert(more_environment.begin(), more_environment.end());
    ASSERT_TRUE(daemon.Start(argv, environment));
    ASSERT_TRUE(daemon.WaitForLine("Prepax is running", 30s)) << daemon.output();
  }
  bool WaitForStatus(const std::string& id, const std::string& status,
                     std::chrono::seconds timeout = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (ReportStatus(id) == status) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  std::string AppIdValue(const char* name) {
    registry::Key key;
    std::string value = "<missing>";
    if (Succeeded(registry::Key::Open(AppIdKeyPath(), &key))) key.QueryString(name, &value);
    return value;
  }
  bool KeyExists(const std::string& path) {
    registry::Key key;
    return Succeeded(registry::Key::Open(path, &key));
  }
  std::string unit_dir_;
};

TEST_F(PrepaxProcessTest, SwitchesRegisterInstallAndRemove) {
  const auto registered = RunCapturing({"-RegServer"});
  EXPECT_EQ(registered.exit_code, 0);
  EXPECT_NE(registered.out.find("prepax: Registered " + ProgramPath("prepax") + " in " +
                                registry::DropInDirectory() + "prepax.toml"),
            std::string::npos)
      << registered.out;
  EXPECT_TRUE(KeyExists(AppIdKeyPath()));
  EXPECT_TRUE(KeyExists(ClassKeyPath(kPrepaxServiceClsid) + "\\LocalServer32"));
  EXPECT_TRUE(KeyExists(ClassKeyPath(kSpeechClsid) + "\\LocalServer32"));
  EXPECT_EQ(AppIdValue(kLocalServiceValue), "<missing>");
  EXPECT_TRUE(ListDir(unit_dir_).empty());

  const auto installed = RunCapturing({"/service"});
  EXPECT_EQ(installed.exit_code, 0);
  EXPECT_NE(installed.out.find("installed the unit " + unit_dir_ + "prepax.service"),
            std::string::npos)
      << installed.out;
  EXPECT_EQ(AppIdValue(kLocalServiceValue), "Prepax");
  EXPECT_EQ(AppIdValue(kServiceParametersValue), "-Service");
  ASSERT_EQ(ListDir(unit_dir_), std::vector<std::string>{"prepax.service"});
  const std::string unit = ReadFile(unit_dir_ + "prepax.service");
  EXPECT_NE(unit.find("ExecStart=" + ProgramPath("prepax")), std::string::npos)
      << unit;  // the build tree's path, as given
  EXPECT_NE(unit.find("Type=notify"), std::string::npos);
  EXPECT_NE(unit.find("KillMode=mixed"), std::string::npos);  // the daemon stops its workers

  // Registering as a local server afterwards takes the service away again.
  EXPECT_EQ(Run({"/REGSERVER"}), 0);
  EXPECT_EQ(AppIdValue(kLocalServiceValue), "<missing>");
  EXPECT_TRUE(ListDir(unit_dir_).empty());

  const auto removed = RunCapturing({"-unregserver"});
  EXPECT_EQ(removed.exit_code, 0);
  EXPECT_NE(removed.out.find("prepax: Unregistered"), std::string::npos) << removed.out;
  EXPECT_FALSE(KeyExists(AppIdKeyPath()));
  EXPECT_FALSE(KeyExists(ClassKeyPath(kSpeechClsid)));
  // Unregistered, the program refuses to run.
  EXPECT_EQ(Run({}), 1);
}

TEST_F(PrepaxProcessTest, ServiceWithoutAUsableUnitDirectoryChangesNothing) {
  ASSERT_EQ(Run({"-RegServer"}), 0);
  const std::string before = ReadFile(registry::DropInDirectory() + "prepax.toml");
  const std::string not_a_directory = scratch() + "units.txt";
  ringwell::testing::WriteFile(not_a_directory, "");
  auto env = Environment();
  env["RINGWELL_UNIT_DIR"] = not_a_directory;
  const auto result = ringwell::testing::RunCapturing({ProgramPath("prepax"), "-Service"}, env);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("Couldn't open service manager"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(not_a_directory), std::string::npos) << result.err;
  EXPECT_EQ(AppIdValue(kLocalServiceValue), "<missing>");
  EXPECT_EQ(ReadFile(registry::DropInDirectory() + "prepax.toml"), before);
}

TEST_F(PrepaxProcessTest, HelpAndVersionAnswerWithoutRunning) {
  const auto help = RunCapturing({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("usage: prepax"), std::string::npos);
  const auto version = RunCapturing({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, std::string("prepax ") + kVersion + "\n");
}

TEST_F(PrepaxProcessTest, DaemonSchedulesASubmittedRequestAndStopsOnSigterm) {
  ASSERT_EQ(Run({"-RegServer"}), 0);
  ChildProcess daemon;
  StartDaemon(daemon);
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kel::kelTextMessagePart, "The server room is too warm.");
  const std::string id = Submit(request.Get());
  EXPECT_TRUE(WaitForStatus(id, "Scheduled"));
  EXPECT_EQ(ReportStatus(id, "5551234"), "Scheduled");
  daemon.Signal(SIGTERM);
  const int status = daemon.Wait(30s);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(PrepaxProcessTest, RequestInterruptedByAKillIsScheduledAfterARestart) {
  ASSERT_EQ(Run({"-RegServer"}), 0);
  constexpr int kParts = 60;
  auto request = NewRequest({"5551234", "5555678"});
  for (int i = 0; i < kParts; ++i) {
    AddPart(request.Get(), kel::kelTextMessagePart,
            "This is part " + std::to_string(i) +
                " of a long announcement that takes the speech engine a while to say.");
  }
  const std::string id = Submit(request.Get());
  const std::string dir = RequestDir(id);

  ChildProcess first;
  StartDaemon(first);
  // Wait until the daemon is in the middle of the request, then kill it.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline && ListDir(dir).size() < 3) {
    std::this_thread::sleep_for(2ms);
  }
  first.Signal(SIGKILL);
  first.Wait(30s);
  const std::size_t made = ListDir(dir).size();
  ASSERT_GE(made, 3u);
  ASSERT_LT(made, kParts + 1u) << "the daemon finished before it was killed";
  ASSERT_TRUE(std::filesystem::exists(InboxFile(id)));

  ChildProcess second;
  StartDaemon(second);
  EXPECT_TRUE(WaitForStatus(id, "Scheduled", 120s));
  second.Signal(SIGTERM);
  EXPECT_EQ(second.Wait(30s), 0);
  EXPECT_FALSE(std::filesystem::exists(InboxFile(id)));
  EXPECT_EQ(ListDir(dir).size(),
            static_cast<std::size_t>(kParts));  // one wav per part, no leftovers
  xml::Document scheduled = LoadXml(RequestFile(id));
  for (pugi::xml_node part : xml::ElementsByName(scheduled.dom(), "MessagePart")) {
    EXPECT_TRUE(std::filesystem::exists(dir + "/" + xml::Text(part))) << xml::Text(part);
  }
}

// SIGTERM in the middle of a long text stops the speech at once: the daemon
// ends, and the request stays in Inbox for the next start instead of
// failing.
TEST_F(PrepaxProcessTest, SigtermInterruptsALongTextAndKeepsTheRequest) {
  ASSERT_EQ(Run({"-RegServer"}), 0);
  std::string text;
  while (text.size() < 30000) text += "The cooling of the server room has failed. ";
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kel::kelTextMessagePart, text);
  const std::string id = Submit(request.Get());
  ChildProcess daemon;
  StartDaemon(daemon);
  // The speech is under way once its file is being written beside the marker.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline && ListDir(RequestDir(id)).size() < 2) {
    std::this_thread::sleep_for(2ms);
  }
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(30s), 0);
  EXPECT_TRUE(std::filesystem::exists(InboxFile(id)));
  EXPECT_EQ(ReportStatus(id), "Processing");
}

// An orderly stop is not a crash: a request the daemon was stopped in the
// middle of, however often, is taken up again at the next start instead of
// being given up (an upgrade restarts the daemon).
TEST_F(PrepaxProcessTest, OrderlyStopsDuringARequestNeverGiveItUp) {
  ASSERT_EQ(Run({"-RegServer"}), 0);
  std::string text;
  while (text.size() < 52000) text += "The cooling of the server room has failed. ";
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kel::kelTextMessagePart, text);
  const std::string id = Submit(request.Get());
  std::set<std::string> seen = {kPreprocessingMarker};
  for (int stop = 1; stop <= 3; ++stop) {
    SCOPED_TRACE("stop " + std::to_string(stop));
    ChildProcess daemon;
    StartDaemon(daemon, {}, {{"RINGWELL_PREPAX_WORKERS", "1"}});
    // This run speaks the text once a file of its own appears beside the
    // marker; a run that gives the request up ends its report instead.
    bool speaking = false;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!speaking && std::chrono::steady_clock::now() < deadline &&
           ReportStatus(id) != "InternalError") {
      for (const std::string& name : ListDir(RequestDir(id))) {
        if (seen.insert(name).second) speaking = true;
      }
      std::this_thread::sleep_for(2ms);
    }
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.Wait(30s), 0);
    ASSERT_TRUE(speaking) << ReportStatus(id);
    EXPECT_TRUE(std::filesystem::exists(InboxFile(id)));
    EXPECT_EQ(ReportStatus(id), "Processing");
  }
  for (const auto& entry : EventLogEntries()) {
    EXPECT_EQ(entry.text.find("given up"), std::string::npos) << entry.text;
  }
}

}  // namespace
}  // namespace ringwell::prepax
