// Runs ringwell-host as a process against a storage root holding scheduled
// requests, with the real scheduler and report generator, and reads the
// reports it leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "leftover_requests.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/xml.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/testing/fixture.h"
#include "tone.h"

namespace ringwell::host {
namespace {

namespace fs = std::filesystem;
using ringwell::testing::LibraryPath;
using ringwell::testing::ListDir;
using ringwell::testing::ProgramPath;
using ringwell::testing::WriteFile;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// A report: its status, and per recipient the status and the Answer of each Call.
struct Report {
  std::string status;
  std::map<std::string, std::pair<std::string, std::vector<std::string>>> recipients;
};

Report ReadReport(const std::string& path) {
  Report report;
  xml::Document document;
  if (document.Load(path) != S_OK) return report;
  report.status = document.FirstChild().attribute("Status").value();
  for (pugi::xml_node sub : document.FirstChild().children("SubReport")) {
    auto& [status, answers] = report.recipients[sub.attribute("Recipient").value()];
    status = sub.attribute("Status").value();
    for (pugi::xml_node call : sub.children("Call")) {
      answers.push_back(xml::Text(xml::ChildElement(call, "Answer")));
    }
  }
  return report;
}

class HostProcessTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    if (!fs::exists(LibraryPath("tallier"))) {
      GTEST_SKIP() << "libtallier.so is not built in this tree";
    }
    for (const char* library : {"dialqueue", "tallier"}) {
      const std::string command =
          ProgramPath("ringwell-regsvr") + " " + LibraryPath(library) + " >/dev/null";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
  }
  void TearDown() override {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    if (output_ != nullptr) ::pclose(output_);
    RingwellTest::TearDown();
  }

  // Lays down Requests/ID.xml with its wav directory, as the preprocessing
  // daemon leaves it: the report first, then the request file at once (a rename).
  void Schedule(const std::string& id, const std::string& type,
                const std::vector<std::string>& numbers, const std::string& retries = "") {
    fs::create_directories(root() + "Requests/" + id);
    WriteTone(root() + "Requests/" + id + "/part1.wav", 8000);
    std::string xml =
        "<Request xmlns=\"urn:schemas-microsoft-com:xml-data\" "
        "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"" +
        id + "\" UserID=\"{0}\" Type=\"" + type + "\"><StartTime dt:dt=\"dateTime\">" +
        OleDateToIso(OleDateNow() - 1.0 / 24) + "</StartTime><StopTime dt:dt=\"dateTime\">" +
        OleDateToIso(OleDateNow() + 1) + "</StopTime><Recipients>";
    for (const std::string& number : numbers) {
      xml += "<Recipient dt:dt=\"string\" Type=\"" +
             std::string(type == "Page" ? "PagerNumber\" Service=\"Alpha" : "PhoneNumber") + "\">" +
             number + "</Recipient>";
    }
    xml += "</Recipients><NumberOfRings dt:dt=\"int\">5</NumberOfRings>" + retries +
           "<MaxGreetingDuration dt:dt=\"int\">30</MaxGreetingDuration><CallTree>"
           "<Message Replays=\"1\" Timeout=\"3\"><MessagePart "
           "Type=\"File\">part1.wav</MessagePart></Message><Responses>"
           "<Response Button=\"1\"><Message><MessagePart Type=\"File\">part1.wav</MessagePart>"
           "</Message></Response></Responses></CallTree></Request>";
    const std::string staging = root() + "." + id + ".xml";
    WriteFile(staging, xml);
    ComPtr<tallier::ITallier> tallier;
    ASSERT_EQ(CreateInstance(tallier::kTallierClsid, &tallier), S_OK);
    ASSERT_EQ(tallier->CreateNewReport(staging.c_str()), S_OK);
    fs::rename(staging, root() + "Requests/" + id + ".xml");
  }

  // Starts the host through a shell that prints its process ID and then
  // becomes the host, and waits for the host's readiness line.
  void StartHost(const std::string& arguments) {
    output_ =
        ::popen(("echo $$; exec " + ProgramPath("ringwell-host") + " " + arguments).c_str(), "r");
    ASSERT_NE(output_, nullptr);
    ASSERT_EQ(std::fscanf(output_, "%d\n", &pid_), 1);
    ASSERT_TRUE(ReadUntil("ringwell-host: ready")) << transcript_;
  }

  // Reads the host's output until a line holds `text`; false at its end.
  bool ReadUntil(const std::string& text) {
    char line[4096];
    while (std::fgets(line, sizeof line, output_) != nullptr) {
      transcript_ += line;
      if (std::string_view(line).find(text) != std::string_view::npos) return true;
    }
    return false;
  }

  pid_t pid_ = -1;
  FILE* output_ = nullptr;
  std::string transcript_;
};

TEST_F(HostProcessTest, EveryRequestEndsCompletedWithOneCallPerAttempt) {
  const std::string calls = "{11111111-0000-0000-0000-000000000001}";
  const std::string retried = "{11111111-0000-0000-0000-000000000002}";
  const std::string pages = "{11111111-0000-0000-0000-000000000003}";
  Schedule(calls, "Call", {"5550001", "5550002"},
           "<NumberOfAttemptsIfBusy dt:dt=\"int\">2</NumberOfAttemptsIfBusy>"
           "<DelayIfBusy dt:dt=\"int\">0</DelayIfBusy>");
  Schedule(pages, "Page", {"6660001", "6660002"});
  const std::string scenario = scratch() + "scenario.json";
  WriteFile(scenario, R"({"rules": [
      {"number": "5550001", "keys": "1"},
      {"number": "5550002", "attempts": [{"outcome": "busy"}, {"outcome": "answer"}]},
      {"number": "5550003", "outcome": "noanswer"},
      {"number": "6660002", "outcome": "failure", "error": "No carrier"}]})");
  const std::string heard = scratch() + "heard";
  fs::create_directories(heard);

  StartHost("--root " + root() + " --lines 1,2 --pager-line 3 --scenario " + scenario +
            " --heard-dir " + heard + " --time-scale 0.001");
  // A request that appears while the host runs.
  Schedule(retried, "Call", {"5550003"},
           "<NumberOfAttemptsIfNoAnswer dt:dt=\"int\">1</NumberOfAttemptsIfNoAnswer>"
           "<DelayIfNoAnswer dt:dt=\"int\">0</DelayIfNoAnswer>");

  std::map<std::string, Report> reports;
  auto all_completed = [&] {
    for (const std::string& id : {calls, retried, pages}) {
      reports[id] = ReadReport(root() + "Reports/" + id + ".xml");
      if (reports[id].status != "Completed") return false;
    }
    return true;
  };
  // The scheduler clears a request's files away after its report says
  // "Completed": the run is over when both have happened.
  auto settled = [&] { return all_completed() && ListDir(root() + "Requests").empty(); };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!settled() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(all_completed());
  using Recipient = std::pair<std::string, std::vector<std::string>>;
  EXPECT_EQ(reports[calls].recipients["5550001"], Recipient("Completed", {"Answered"}));
  EXPECT_EQ(reports[calls].recipients["5550002"], Recipient("Completed", {"Busy", "Answered"}));
  EXPECT_EQ(reports[retried].recipients["5550003"],
            Recipient("NoAnswer", {"NoAnswer", "NoAnswer"}));
  EXPECT_EQ(reports[pages].recipients["6660001"], Recipient("Sent", {"Sent"}));
  EXPECT_EQ(reports[pages].recipients["6660002"], Recipient("Failed", {"Failed"}));

  // The requests are cleared away; the pages are logged; the answered calls
  // left what their callees heard.
  EXPECT_THAT(ListDir(root() + "Requests"), IsEmpty());
  EXPECT_THAT(ringwell::testing::ReadFile(root() + "pager.log"),
              HasSubstr("\t6660001\tAlpha\t" + pages + "\tSent\t[part1.wav]\n"));
  EXPECT_THAT(ListDir(heard), SizeIs(2));

  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_TRUE(ReadUntil("ringwell-host: stopped")) << transcript_;
  pid_ = -1;
  const int status = ::pclose(std::exchange(output_, nullptr));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const auto& entry : EventLogEntries()) ADD_FAILURE() << entry.source << ": " << entry.text;
}

// What a request canceled while it waited leaves in Requests (its directory
// of audio, its request file deleted by the toolkit) goes when the host
// starts; the directories that are still of use stay: the preprocessing
// daemon's at work (its marker inside, or the request still in Inbox or
// withdrawn from it), a scheduled request's, and one a line plays from.
TEST_F(HostProcessTest, CanceledRequestsLeaveNoAudioBehindAfterARestart) {
  const std::string requests = root() + "Requests/";
  auto directory = [&](const std::string& id, std::initializer_list<const char*> files) {
    fs::create_directories(requests + id);
    for (const char* file : files) WriteFile(requests + id + "/" + file, "1");
  };
  const std::string canceled = "{22222222-0000-0000-0000-000000000001}";
  const std::string preparing = "{22222222-0000-0000-0000-000000000002}";
  const std::string waiting = "{22222222-0000-0000-0000-000000000003}";
  const std::string withdrawn = "{22222222-0000-0000-0000-000000000004}";
  const std::string moving = "{22222222-0000-0000-0000-000000000005}";
  directory(canceled, {"part1.wav", "part2.wav"});
  directory(preparing, {".preprocessing", "part1.wav"});
  directory(waiting, {"part1.wav"});
  WriteFile(root() + "Inbox/" + waiting + ".xml", "<Request/>");
  directory(withdrawn, {"part1.wav"});
  WriteFile(root() + "Inbox/." + withdrawn + ".xml.withdrawn", "<Request/>");
  directory(moving, {".scheduled", "part1.wav"});
  // A link in Requests is never followed, whatever it is named.
  const std::string outside = scratch() + "outside/";
  fs::create_directories(outside);
  WriteFile(outside + "keep.wav", "1");
  const std::string linked = "{22222222-0000-0000-0000-000000000006}";
  fs::create_directory_symlink(outside, requests + linked);

  StartHost("--root " + root() + " --lines 1 --no-pager");
  EXPECT_THAT(ListDir(requests),
              ::testing::UnorderedElementsAre(preparing, waiting, withdrawn, moving, linked));
  EXPECT_THAT(ListDir(requests + preparing), SizeIs(2));
  EXPECT_THAT(ListDir(outside), SizeIs(1));
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_TRUE(ReadUntil("ringwell-host: stopped")) << transcript_;
}

// The directories a line plays from stay until the call is over.
TEST(LeftoverRequestsTest, ADirectoryALinePlaysFromStays) {
  const ringwell::testing::TempDir scratch;
  const std::string root = scratch.path();
  const std::string id = "{33333333-0000-0000-0000-000000000001}";
  fs::create_directories(root + "Requests/" + id);
  WriteFile(root + "Requests/" + id + "/part1.wav", "1");
  std::vector<std::string> asked;
  auto playing = [&](const std::string& dir) {
    asked.push_back(dir);
    return true;
  };
  EXPECT_THAT(RemoveLeftoverRequestDirectories(root, playing), IsEmpty());
  EXPECT_EQ(asked, std::vector<std::string>{root + "Requests/" + id});
  EXPECT_THAT(ListDir(root + "Requests/" + id), SizeIs(1));
  EXPECT_EQ(RemoveLeftoverRequestDirectories(root, [](const std::string&) { return false; }),
            std::vector<std::string>{id});
  EXPECT_FALSE(fs::exists(root + "Requests/" + id));
}

}  // namespace
}  // namespace ringwell::host
