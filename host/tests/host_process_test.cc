// Runs ringwell-host as a process against a storage root holding scheduled
// requests, with the real scheduler and report generator, and reads the
// reports it leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/xml.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::host {
namespace {

namespace fs = std::filesystem;
using ringwell::testing::LibraryPath;
using ringwell::testing::ProgramPath;
using ringwell::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::SizeIs;

struct Recipient {
  std::string status;
  std::vector<std::string> call_answers;
};
struct Report {
  std::string status;
  std::map<std::string, Recipient> recipients;
};

Report ReadReport(const std::string& path) {
  Report report;
  xml::Document document;
  if (document.Load(path) != S_OK) return report;
  const pugi::xml_node root = document.FirstChild();
  report.status = root.attribute("Status").value();
  for (pugi::xml_node sub : root.children("SubReport")) {
    Recipient& recipient = report.recipients[sub.attribute("Recipient").value()];
    recipient.status = sub.attribute("Status").value();
    for (pugi::xml_node call : sub.children("Call")) {
      recipient.call_answers.push_back(xml::Text(xml::ChildElement(call, "Answer")));
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
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_ != nullptr) std::fclose(output_);
    RingwellTest::TearDown();
  }

  // Lays down Requests/ID.xml with its wav directory, as the preprocessing
  // daemon leaves it, and the report the daemon would have made.
  void Schedule(const std::string& id, const std::string& type,
                const std::vector<std::string>& numbers, const std::string& retries) {
    const std::string wav_dir = root() + "Requests/" + id + "/";
    fs::create_directories(wav_dir);
    WriteTone(wav_dir + "part1.wav");
    std::string recipients;
    for (const std::string& number : numbers) {
      recipients += "<Recipient dt:dt=\"string\" Type=\"" +
                    std::string(type == "Page" ? "PagerNumber" : "PhoneNumber") + "\">" + number +
                    "</Recipient>";
    }
    const std::string now = OleDateToIso(OleDateNow() - 1.0 / 24);
    const std::string later = OleDateToIso(OleDateNow() + 1);
    const std::string xml =
        "<Request xmlns=\"urn:schemas-microsoft-com:xml-data\" "
        "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"" +
        id + "\" UserID=\"{0}\" Type=\"" + type + "\"><StartTime dt:dt=\"dateTime\">" + now +
        "</StartTime><StopTime dt:dt=\"dateTime\">" + later + "</StopTime><Recipients>" +
        recipients + "</Recipients><NumberOfRings dt:dt=\"int\">5</NumberOfRings>" + retries +
        "<MaxGreetingDuration dt:dt=\"int\">30</MaxGreetingDuration><CallTree>"
        "<Message Replays=\"1\" Timeout=\"3\"><MessagePart Type=\"File\">part1.wav</MessagePart>"
        "</Message><Responses><Response Button=\"1\"><Message Replays=\"0\" Timeout=\"2\">"
        "<MessagePart Type=\"File\">part1.wav</MessagePart></Message></Response></Responses>"
        "</CallTree></Request>";
    // The report first, then the request file appears at once (as a rename).
    const std::string staging = root() + "." + id + ".xml";
    WriteFile(staging, xml);
    ComPtr<tallier::ITallier> tallier;
    ASSERT_EQ(CreateInstance(tallier::kTallierClsid, &tallier), S_OK);
    ASSERT_EQ(tallier->CreateNewReport(staging.c_str()), S_OK);
    fs::rename(staging, root() + "Requests/" + id + ".xml");
  }

  static void WriteTone(const std::string& path) {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<short> samples(8000, 500);
    sf_writef_short(file, samples.data(), 8000);
    sf_close(file);
  }

  // Starts the host and waits for its readiness line.
  void StartHost(const std::vector<std::string>& arguments) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::dup2(pipe_fds[1], STDOUT_FILENO);
      ::close(pipe_fds[0]);
      ::close(pipe_fds[1]);
      std::vector<char*> argv;
      const std::string program = ProgramPath("ringwell-host");
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    output_ = ::fdopen(pipe_fds[0], "r");
    ASSERT_TRUE(ReadUntil("ringwell-host: ready")) << "the host did not become ready";
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
  Schedule(pages, "Page", {"6660001", "6660002"}, "");
  const std::string scenario = scratch() + "scenario.json";
  WriteFile(scenario, R"({"rules": [
      {"number": "5550001", "keys": "1"},
      {"number": "5550002", "attempts": [{"outcome": "busy"}, {"outcome": "answer"}]},
      {"number": "5550003", "outcome": "noanswer"},
      {"number": "6660002", "outcome": "failure", "error": "No carrier"}]})");
  const std::string heard = scratch() + "heard";
  fs::create_directories(heard);

  StartHost({"--root", root(), "--lines", "1,2", "--pager-line", "3", "--scenario", scenario,
             "--heard-dir", heard, "--time-scale", "0.001"});
  // A request that appears while the host runs.
  Schedule(retried, "Call", {"5550003"},
           "<NumberOfAttemptsIfNoAnswer dt:dt=\"int\">1</NumberOfAttemptsIfNoAnswer>"
           "<DelayIfNoAnswer dt:dt=\"int\">0</DelayIfNoAnswer>");

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto all_completed = [&] {
    for (const std::string& id : {calls, retried, pages}) {
      if (ReadReport(root() + "Reports/" + id + ".xml").status != "Completed") return false;
    }
    return true;
  };
  while (!all_completed() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(all_completed());

  const Report call_report = ReadReport(root() + "Reports/" + calls + ".xml");
  EXPECT_EQ(call_report.recipients.at("5550001").status, "Completed");
  EXPECT_THAT(call_report.recipients.at("5550001").call_answers, ElementsAre("Answered"));
  EXPECT_EQ(call_report.recipients.at("5550002").status, "Completed");
  EXPECT_THAT(call_report.recipients.at("5550002").call_answers, ElementsAre("Busy", "Answered"));
  const Report retry_report = ReadReport(root() + "Reports/" + retried + ".xml");
  EXPECT_EQ(retry_report.recipients.at("5550003").status, "NoAnswer");
  EXPECT_THAT(retry_report.recipients.at("5550003").call_answers,
              ElementsAre("NoAnswer", "NoAnswer"));
  const Report page_report = ReadReport(root() + "Reports/" + pages + ".xml");
  EXPECT_EQ(page_report.recipients.at("6660001").status, "Sent");
  EXPECT_THAT(page_report.recipients.at("6660001").call_answers, ElementsAre("Sent"));
  EXPECT_EQ(page_report.recipients.at("6660002").status, "Failed");
  EXPECT_THAT(page_report.recipients.at("6660002").call_answers, ElementsAre("Failed"));

  // The requests are cleared away; the pages are logged; the answered calls
  // left what their callees heard.
  EXPECT_THAT(ringwell::testing::ListDir(root() + "Requests"), SizeIs(0));
  const std::string log = ringwell::testing::ReadFile(root() + "pager.log");
  EXPECT_THAT(log, HasSubstr("\t6660001\t\t" + pages + "\tSent\t[part1.wav]\n"));
  EXPECT_THAT(ringwell::testing::ListDir(heard), SizeIs(2));

  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_TRUE(ReadUntil("ringwell-host: stopped")) << transcript_;
  int status = 0;
  ASSERT_EQ(::waitpid(std::exchange(pid_, -1), &status, 0) > 0, true);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const auto& entry : EventLogEntries()) {
    ADD_FAILURE() << entry.source << ": " << entry.text;
  }
}

TEST_F(HostProcessTest, ItStopsCleanlyWhileIdle) {
  StartHost({"--root", root(), "--lines", "1", "--no-pager"});
  ASSERT_EQ(::kill(pid_, SIGINT), 0);
  EXPECT_TRUE(ReadUntil("ringwell-host: stopped"));
  int status = 0;
  ASSERT_GT(::waitpid(std::exchange(pid_, -1), &status, 0), 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace ringwell::host
