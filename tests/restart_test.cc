// The telephony host killed with SIGKILL in the middle of its calls and
// started again, several times, until every request is done. No recipient may
// be called twice, and every call a callee heard must be in the report: a
// result that was never booked shows as an interrupted call.
//
// RINGWELL_KILLS=N sets how many kills a run makes (a few by default).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/xml.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"
#include "ringwell/testing/wait.h"

namespace ringwell::road {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ringwell::testing::ProgramPath;
using ringwell::testing::WaitUntil;

constexpr int kRequests = 6;
constexpr int kRecipients = 5;

std::string RequestId(int r) {
  return "{0000000" + std::to_string(r) + "-5E57-4A27-8000-00000000CA11}";
}
std::string Number(int r, int n) { return "55" + std::to_string(r) + "000" + std::to_string(n); }

void WriteTone(const std::string& path) {
  SF_INFO info{.frames = 0,
               .samplerate = 8000,
               .channels = 1,
               .format = SF_FORMAT_WAV | SF_FORMAT_PCM_16,
               .sections = 0,
               .seekable = 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << path;
  std::vector<short> samples(4000, 1000);
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

// Per recipient: its status and the Status of each of its calls.
struct Recipient {
  std::string status;
  std::vector<std::string> calls;
};

// The host's lines poll the queue, or (immediate) are handed their calls and
// go on with a request's next recipient, its start booked with the end of the
// call before.
class RestartTest : public ringwell::testing::RingwellTest,
                    public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    for (const char* library : {"dialqueue", "tallier"}) {
      ASSERT_EQ(ringwell::testing::RunProgram(
                    {ProgramPath("ringwell-regsvr"), ringwell::testing::LibraryPath(library)}),
                0);
    }
  }

  // Lays down Requests/ID.xml with its wav file and its report, as the
  // preprocessing daemon leaves them. No retries: a repeated call would show.
  void Schedule(int r) {
    const std::string id = RequestId(r);
    fs::create_directories(root() + "Requests/" + id);
    WriteTone(root() + "Requests/" + id + "/part1.wav");
    std::string xml = "<Request xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"" + id +
                      "\" UserID=\"{0}\" Type=\"Call\"><StartTime dt:dt=\"dateTime\">" +
                      OleDateToIso(OleDateNow() - 1.0 / 24) +
                      "</StartTime><StopTime dt:dt=\"dateTime\">" + OleDateToIso(OleDateNow() + 1) +
                      "</StopTime><Recipients>";
    for (int n = 0; n < kRecipients; ++n) xml += "<Recipient>" + Number(r, n) + "</Recipient>";
    xml +=
        "</Recipients><CallTree><Message Replays=\"0\" Timeout=\"1\"><MessagePart "
        "Type=\"File\">part1.wav</MessagePart></Message><Responses/></CallTree></Request>";
    const std::string staging = scratch() + id + ".xml";
    ringwell::testing::WriteFile(staging, xml);
    ComPtr<tallier::ITallier> tallier;
    ASSERT_EQ(CreateInstance(tallier::kTallierClsid, &tallier), S_OK);
    ASSERT_EQ(tallier->CreateNewReport(staging.c_str()), S_OK);
    ASSERT_EQ(tallier->UpdateStatus((root() + "Reports/" + id + ".xml").c_str(), "*", "Scheduled"),
              S_OK);
    fs::rename(staging, root() + "Requests/" + id + ".xml");
  }

  // Starts the host on four lines; what callees hear goes to a directory of
  // this run's own.
  void StartHost(ringwell::testing::ChildProcess& host, int run) {
    const std::string heard = scratch() + "heard/" + std::to_string(run);
    fs::create_directories(heard);
    // Calls of about a quarter of a second: a kill often finds one going on.
    const std::string scenario = scratch() + "scenario.json";
    ringwell::testing::WriteFile(scenario, R"({"default": {"outcome": "answer", "rings": 2}})");
    ASSERT_TRUE(host.Start({ProgramPath("ringwell-host"), "--root", root(), "--lines", "1,2,3,4",
                            "--no-pager", "--scenario", scenario, "--heard-dir", heard,
                            "--time-scale", "0.02", "--dispatch", GetParam()}));
    ASSERT_TRUE(host.WaitForLine("ringwell-host: ready", 20s)) << host.output();
  }

  std::map<std::string, Recipient> Reports(bool* all_completed) const {
    std::map<std::string, Recipient> found;
    *all_completed = true;
    for (int r = 0; r < kRequests; ++r) {
      xml::Document report;
      if (report.Load(root() + "Reports/" + RequestId(r) + ".xml") != S_OK) {
        *all_completed = false;
        continue;
      }
      *all_completed &= std::string(report.FirstChild().attribute("Status").value()) == "Completed";
      for (pugi::xml_node sub : report.FirstChild().children("SubReport")) {
        Recipient& recipient = found[sub.attribute("Recipient").value()];
        recipient.status = sub.attribute("Status").value();
        for (pugi::xml_node call : sub.children("Call")) {
          recipient.calls.push_back(call.attribute("Status").value());
        }
      }
    }
    return found;
  }

  // How many recipients the reports show with a call in progress.
  static int InProgress(const std::map<std::string, Recipient>& recipients) {
    return static_cast<int>(std::ranges::count_if(
        recipients, [](const auto& entry) { return entry.second.status == "InProgress"; }));
  }

  // Calls heard per number, over every run.
  std::map<std::string, int> Heard() const {
    std::map<std::string, int> heard;
    for (const auto& file : fs::recursive_directory_iterator(scratch() + "heard")) {
      if (!file.is_regular_file()) continue;
      const std::string name = file.path().filename();
      const std::size_t first = name.find("}-");
      heard[name.substr(first + 2, name.rfind('-') - first - 2)]++;
    }
    return heard;
  }
};

TEST_P(RestartTest, KilledHostsRepeatNoCallAndLoseNoResult) {
  for (int r = 0; r < kRequests; ++r) Schedule(r);
  const char* configured = std::getenv("RINGWELL_KILLS");
  const int kills = configured != nullptr ? std::atoi(configured) : 4;
  int run = 0;
  // Each kill comes while a call is going on: a line saves "InProgress"
  // before it dials. What the reports show in progress once the host is
  // dead is what the next start must book as interrupted (or as the result
  // the host kept before it died).
  int in_progress_at_kills = 0;
  for (int k = 0; k < kills; ++k) {
    ringwell::testing::ChildProcess host;
    StartHost(host, run++);
    bool completed = false;
    const bool calling =
        WaitUntil([&] { return InProgress(Reports(&completed)) > 0 || completed; }, 60s, 1ms);
    ASSERT_FALSE(completed) << "every request ended before kill " << k + 1;
    ASSERT_TRUE(calling) << "no call started before kill " << k + 1;
    host.Signal(SIGKILL);
    host.Wait(10s);
    in_progress_at_kills += InProgress(Reports(&completed));
  }
  ringwell::testing::ChildProcess host;
  StartHost(host, run++);
  bool completed = false;
  std::map<std::string, Recipient> recipients;
  WaitUntil(
      [&] {
        recipients = Reports(&completed);
        return completed;
      },
      120s, 100ms);
  host.Signal(SIGTERM);
  EXPECT_NE(host.Wait(20s), -1);
  ASSERT_TRUE(completed);

  const std::map<std::string, int> heard = Heard();
  int repeated = 0, lost = 0, interrupted = 0, calls = 0;
  for (int r = 0; r < kRequests; ++r) {
    for (int n = 0; n < kRecipients; ++n) {
      const std::string number = Number(r, n);
      const Recipient& recipient = recipients[number];
      const auto found = heard.find(number);
      const int times = found == heard.end() ? 0 : found->second;
      calls += times;
      repeated += std::max(times - 1, 0);
      lost += std::max(times - static_cast<int>(recipient.calls.size()), 0);
      interrupted += static_cast<int>(std::ranges::count(recipient.calls, "Failed"));
      // Every recipient ends with one call: answered, or cut short by a kill.
      EXPECT_EQ(recipient.calls.size(), 1u) << number;
      if (!recipient.calls.empty()) {
        EXPECT_EQ(recipient.status, recipient.calls.back()) << number;
      }
      EXPECT_THAT(recipient.status, ::testing::AnyOf("Completed", "Failed")) << number;
    }
  }
  EXPECT_EQ(repeated, 0);
  EXPECT_EQ(lost, 0);
  // The kills cut calls short, and each cut call shows as one interrupted
  // call at most.
  EXPECT_GT(in_progress_at_kills, 0);
  EXPECT_GT(interrupted, 0);
  EXPECT_LE(interrupted, in_progress_at_kills);
  EXPECT_THAT(ringwell::testing::ListDir(root() + "Requests"), ::testing::IsEmpty());
  std::printf("kills %d, calls heard %d, repeated %d, results lost %d, interrupted %d\n", kills,
              calls, repeated, lost, interrupted);
}

INSTANTIATE_TEST_SUITE_P(, RestartTest, ::testing::Values("polling", "immediate"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace ringwell::road
