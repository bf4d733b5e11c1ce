// The telephony host while the Reports directory cannot be written: taken
// away and replaced by a file, or its lock file or the report replaced by a
// symbolic link, in the middle of a call. The call's result must not be lost,
// no further call may be placed while nothing can be booked, and the request
// stays in Requests until its results are in the report, across a kill of the
// host too. Reports taken away and made again, empty, loses no result either:
// the report is made again from the request file and what the host holds.
// Nor does a full disk (a tmpfs filled while the call runs, needs root): the
// result waits until space comes back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/xml.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"
#include "ringwell/testing/small_disk.h"
#include "ringwell/testing/wait.h"

namespace ringwell::road {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ringwell::testing::ProgramPath;

const std::string kId = "{0000000B-5E57-4A27-8000-00000000B00C}";
const std::vector<std::string> kNumbers = {"5551001", "5551002", "5551003"};

enum class Fault { kReportsReplacedByFile, kLockFileLink, kReportLink, kReportsRemoved, kDiskFull };

// When the host is killed while nothing can be booked: never, or started again
// once Reports is repaired, or while it is still broken.
enum class Kill { kNone, kRestartRepaired, kRestartBroken };

struct Case {
  Fault fault;
  Kill kill;
  // The line is handed its calls and goes on with the request's next
  // recipient, that one's start booked with the end of the call before.
  bool immediate = false;
};

class BookingFaultTest : public ringwell::testing::RingwellTest,
                         public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    if (GetParam().fault == Fault::kDiskFull) {
      std::string why;
      if (!disk_.Mount(root(), 4 << 20, &why)) GTEST_SKIP() << why;
    }
    for (const char* library : {"dialqueue", "tallier"}) {
      ASSERT_EQ(ringwell::testing::RunProgram(
                    {ProgramPath("ringwell-regsvr"), ringwell::testing::LibraryPath(library)}),
                0);
    }
  }

  std::string Report() const { return root() + "Reports/" + kId + ".xml"; }
  std::string RequestFile() const { return root() + "Requests/" + kId + ".xml"; }

  // Requests/ID.xml with its wav file and its report, as the preprocessing
  // daemon leaves them; no retries.
  void Schedule() {
    fs::create_directories(root() + "Requests/" + kId);
    SF_INFO info{.frames = 0,
                 .samplerate = 8000,
                 .channels = 1,
                 .format = SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                 .sections = 0,
                 .seekable = 0};
    SNDFILE* file = sf_open((root() + "Requests/" + kId + "/part1.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<short> samples(4000, 1000);
    sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    std::string xml = "<Request xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"" + kId +
                      "\" UserID=\"{0}\" Type=\"Call\"><StartTime dt:dt=\"dateTime\">" +
                      OleDateToIso(OleDateNow() - 1.0 / 24) +
                      "</StartTime><StopTime dt:dt=\"dateTime\">" + OleDateToIso(OleDateNow() + 1) +
                      "</StopTime><Recipients>";
    for (const std::string& number : kNumbers) xml += "<Recipient>" + number + "</Recipient>";
    xml +=
        "</Recipients><CallTree><Message Replays=\"0\" Timeout=\"1\"><MessagePart "
        "Type=\"File\">part1.wav</MessagePart></Message><Responses/></CallTree></Request>";
    // Beside Requests, on its file system: renamed into it in one step.
    const std::string staging = root() + "." + kId + ".xml";
    ringwell::testing::WriteFile(staging, xml);
    ComPtr<tallier::ITallier> tallier;
    ASSERT_EQ(CreateInstance(tallier::kTallierClsid, &tallier), S_OK);
    ASSERT_EQ(tallier->CreateNewReport(staging.c_str()), S_OK);
    ASSERT_EQ(tallier->UpdateStatus(Report().c_str(), "*", "Scheduled"), S_OK);
    fs::rename(staging, RequestFile());
  }

  // One line; a call lasts about a second.
  void StartHost(ringwell::testing::ChildProcess& host) {
    const std::string heard = scratch() + "heard/";
    fs::create_directories(heard);
    const std::string scenario = scratch() + "scenario.json";
    ringwell::testing::WriteFile(scenario, R"({"default": {"outcome": "answer", "rings": 2}})");
    ASSERT_TRUE(
        host.Start({ProgramPath("ringwell-host"), "--root", root(), "--lines", "1", "--no-pager",
                    "--scenario", scenario, "--heard-dir", heard, "--time-scale", "0.08",
                    "--dispatch", GetParam().immediate ? "immediate" : "polling"}));
    ASSERT_TRUE(host.WaitForLine("ringwell-host: ready", 20s)) << host.output();
  }

  // Status of the report ("" under the key "") and of each recipient; empty
  // when the report does not load.
  std::map<std::string, std::string> Statuses(std::map<std::string, int>* calls = nullptr) const {
    std::map<std::string, std::string> statuses;
    xml::Document report;
    if (report.Load(Report()) != S_OK) return statuses;
    statuses[""] = report.FirstChild().attribute("Status").value();
    for (pugi::xml_node sub : report.FirstChild().children("SubReport")) {
      statuses[sub.attribute("Recipient").value()] = sub.attribute("Status").value();
      if (calls != nullptr) {
        (*calls)[sub.attribute("Recipient").value()] = static_cast<int>(
            std::distance(sub.children("Call").begin(), sub.children("Call").end()));
      }
    }
    return statuses;
  }

  // Calls heard per number.
  std::map<std::string, int> Heard() const {
    std::map<std::string, int> heard;
    for (const auto& file : fs::directory_iterator(scratch() + "heard")) {
      const std::string name = file.path().filename();
      for (const std::string& number : kNumbers) {
        if (name.find(number) != std::string::npos) heard[number]++;
      }
    }
    return heard;
  }

  int SchedulerErrors() const {
    int errors = 0;
    for (const auto& entry : EventLogEntries()) {
      errors += entry.source == "Ringwell Dialqueue" ? 1 : 0;
    }
    return errors;
  }

  static bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
    return ringwell::testing::WaitUntil(condition, limit, 20ms);
  }

  void Break(Fault fault) {
    switch (fault) {
      case Fault::kReportsReplacedByFile:
        fs::rename(root() + "Reports", scratch() + "Reports.away");
        ringwell::testing::WriteFile(root() + "Reports", "not a directory");
        break;
      case Fault::kLockFileLink:
        fs::remove(root() + "Reports/.lock");
        fs::create_symlink(scratch() + "elsewhere", root() + "Reports/.lock");
        break;
      case Fault::kReportLink:
        fs::rename(Report(), scratch() + "report.away");
        fs::create_symlink(scratch() + "report.away", Report());
        break;
      case Fault::kReportsRemoved:
        fs::remove_all(root() + "Reports");
        break;
      case Fault::kDiskFull:
        disk_.Fill(0);
        break;
    }
  }

  void Repair(Fault fault) {
    switch (fault) {
      case Fault::kReportsReplacedByFile:
        fs::remove(root() + "Reports");
        fs::rename(scratch() + "Reports.away", root() + "Reports");
        break;
      case Fault::kLockFileLink:
        fs::remove(root() + "Reports/.lock");
        break;
      case Fault::kReportLink:
        fs::remove(Report());
        fs::rename(scratch() + "report.away", Report());
        break;
      case Fault::kReportsRemoved:  // made again, empty
        fs::create_directory(root() + "Reports");
        break;
      case Fault::kDiskFull:
        disk_.Free();
        break;
    }
  }

  // The storage root's file system, for the full-disk cases.
  ringwell::testing::SmallDisk disk_;

  // Event texts of the scheduler that contain `part`.
  int SchedulerEventsWith(const std::string& part) const {
    int count = 0;
    for (const auto& entry : EventLogEntries()) {
      count += entry.source == "Ringwell Dialqueue" && entry.text.find(part) != std::string::npos;
    }
    return count;
  }
};

TEST_P(BookingFaultTest, ResultsWaitForTheReportAndNoCallIsPlacedMeanwhile) {
  Schedule();
  auto host = std::make_unique<ringwell::testing::ChildProcess>();
  StartHost(*host);
  // The first call is under way: its "InProgress" is in the report.
  ASSERT_TRUE(WaitFor([&] { return Statuses()[kNumbers[0]] == "InProgress"; }, 30s))
      << host->output();
  Break(GetParam().fault);

  // The call ends and cannot be booked; the next recipient's start cannot be
  // booked either, twice. A dispatched line books the end and the next start
  // in one update, which fails once; the host may then hold its requests
  // until Reports is back, so no further attempt need come.
  const int failures = GetParam().immediate ? 1 : 3;
  ASSERT_TRUE(
      WaitFor([&] { return Heard()[kNumbers[0]] == 1 && SchedulerErrors() >= failures; }, 30s))
      << host->output();
  EXPECT_EQ(Heard().size(), 1u);
  EXPECT_TRUE(fs::exists(RequestFile()));
  EXPECT_FALSE(fs::exists(scratch() + "elsewhere"));
  int logged = SchedulerErrors();
  if (GetParam().kill != Kill::kNone) {
    // The kill comes once the result is kept (Requests/ID.unbooked, saved
    // after the failed booking is logged): a kill before that is a crash
    // before the call's end was known anywhere, which the restart books as
    // interrupted.
    ASSERT_TRUE(WaitFor([&] { return fs::exists(root() + "Requests/" + kId + ".unbooked"); }, 30s))
        << host->output();
    host->Signal(SIGKILL);
    host->Wait(10s);
    logged = SchedulerErrors();  // what the killed host logged, to its end
    if (GetParam().kill == Kill::kRestartRepaired) Repair(GetParam().fault);
    host = std::make_unique<ringwell::testing::ChildProcess>();
    StartHost(*host);
  }
  if (GetParam().kill == Kill::kRestartBroken) {
    // The restarted host takes the request in and calls nobody meanwhile.
    ASSERT_TRUE(WaitFor([&] { return SchedulerErrors() > logged; }, 30s)) << host->output();
    EXPECT_EQ(Heard().size(), 1u);
  }
  if (GetParam().kill != Kill::kRestartRepaired) Repair(GetParam().fault);

  std::map<std::string, int> calls;
  EXPECT_TRUE(WaitFor([&] { return Statuses(&calls)[""] == "Completed"; }, 60s)) << host->output();
  host->Signal(SIGTERM);
  EXPECT_NE(host->Wait(20s), -1);

  const std::map<std::string, std::string> statuses = Statuses();
  for (const std::string& number : kNumbers) {
    EXPECT_EQ(Heard()[number], 1) << number;
    EXPECT_EQ(calls[number], 1) << number;
    EXPECT_EQ(statuses.at(number), "Completed") << number;
  }
  EXPECT_THAT(ringwell::testing::ListDir(root() + "Requests"), ::testing::IsEmpty());
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  static const char* const kNames[] = {"ReportsReplacedByFile", "LockFileLink", "ReportLink",
                                       "ReportsRemovedThenMadeAgain", "DiskFull"};
  static const char* const kKills[] = {"", "AndHostRestartedRepaired", "AndHostRestartedBroken"};
  return std::string(kNames[static_cast<int>(info.param.fault)]) +
         kKills[static_cast<int>(info.param.kill)] + (info.param.immediate ? "Dispatched" : "");
}

INSTANTIATE_TEST_SUITE_P(Faults, BookingFaultTest,
                         ::testing::Values(Case{Fault::kReportsReplacedByFile, Kill::kNone},
                                           Case{Fault::kReportsReplacedByFile,
                                                Kill::kRestartRepaired},
                                           Case{Fault::kLockFileLink, Kill::kNone},
                                           Case{Fault::kReportLink, Kill::kNone},
                                           Case{Fault::kReportLink, Kill::kRestartBroken},
                                           Case{Fault::kReportsReplacedByFile, Kill::kNone, true},
                                           Case{Fault::kReportLink, Kill::kRestartBroken, true},
                                           Case{Fault::kReportsRemoved, Kill::kNone},
                                           Case{Fault::kReportsRemoved, Kill::kRestartRepaired},
                                           Case{Fault::kReportsRemoved, Kill::kNone, true},
                                           Case{Fault::kDiskFull, Kill::kNone},
                                           Case{Fault::kDiskFull, Kill::kNone, true}),
                         CaseName);

// Reports/ removed and at once made again, empty, while a call is under way:
// the report comes back from the request file, every result goes into it and
// nothing is refused as "The parameter is incorrect".
class ReportsMadeAgainTest : public BookingFaultTest {};

TEST_P(ReportsMadeAgainTest, AReportThatVanishedIsMadeAgainAndKeepsEveryResult) {
  Schedule();
  ringwell::testing::ChildProcess host;
  StartHost(host);
  ASSERT_TRUE(WaitFor([&] { return Statuses()[kNumbers[0]] == "InProgress"; }, 30s))
      << host.output();
  fs::remove_all(root() + "Reports");
  fs::create_directory(root() + "Reports");

  std::map<std::string, int> calls;
  EXPECT_TRUE(WaitFor([&] { return Statuses(&calls)[""] == "Completed"; }, 60s)) << host.output();
  host.Signal(SIGTERM);
  EXPECT_NE(host.Wait(20s), -1);
  const std::map<std::string, std::string> statuses = Statuses();
  for (const std::string& number : kNumbers) {
    EXPECT_EQ(Heard()[number], 1) << number;
    EXPECT_EQ(calls[number], 1) << number;
    EXPECT_EQ(statuses.at(number), "Completed") << number;
  }
  EXPECT_EQ(SchedulerEventsWith("The parameter is incorrect"), 0);
  EXPECT_EQ(SchedulerEventsWith("it is made again from the request file"), 1);
  // The report keeps what the request asked for.
  xml::Document report;
  ASSERT_EQ(report.Load(Report()), S_OK);
  EXPECT_TRUE(xml::ChildElement(report.FirstChild(), "RequestRecord")) << report.Xml();
  EXPECT_THAT(ringwell::testing::ListDir(root() + "Requests"), ::testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Recreated, ReportsMadeAgainTest,
                         ::testing::Values(Case{Fault::kReportsRemoved, Kill::kNone},
                                           Case{Fault::kReportsRemoved, Kill::kNone, true}),
                         CaseName);

}  // namespace
}  // namespace ringwell::road
