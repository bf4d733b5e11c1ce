// Many writers on one report: several processes, each with several threads
// sharing one Tallier object (as the scheduler's line workers do), add call
// results and set statuses at once, singly and several in one update. Every
// call result must be in the report.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "ctallier.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::tallier {
namespace {

constexpr int kProcesses = 4;
constexpr int kThreadsPerProcess = 4;
constexpr int kResultsPerThread = 250;
constexpr int kSubReports = 50;

std::string Number(int index) { return "55501" + std::to_string(100 + index); }
// The sub-report writer `writer` addresses with its `i`th result.
int SubReportOf(int writer, int i) { return (writer * 7 + i) % kSubReports; }

// Runs the writer threads of one process; false when a call failed. Each
// writer sets a status after every tenth result, every fiftieth on all.
bool RunWriterProcess(int process, const std::string& report) {
  ComPtr<CTallier> tallier = MakeComObject<CTallier>();
  std::atomic<int> failures{0};
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreadsPerProcess; ++t) {
    threads.emplace_back([&, writer = process * kThreadsPerProcess + t] {
      for (int i = 0; i < kResultsPerThread; ++i) {
        const std::string number = Number(SubReportOf(writer, i));
        const std::string result = "<Call Error=\"" +
                                   std::to_string(writer * kResultsPerThread + i) +
                                   "\"><Time dt:dt=\"dateTime\">2024-05-01T10:00:00</Time></Call>";
        if (i % 2 == 1) {
          // A result with the recipient's status, in one save.
          const ReportChange changes[] = {
              {ReportChange::kCallResult, number.c_str(), result.c_str()},
              {ReportChange::kStatus, number.c_str(), "InProgress"}};
          failures += tallier->ApplyChanges(report.c_str(), changes, 2) != S_OK;
          continue;
        }
        failures += tallier->AddCallResult(report.c_str(), number.c_str(), result.c_str()) != S_OK;
        if (i % 10 != 0) continue;
        const char* recipient = i % 50 == 0 ? "*" : number.c_str();
        failures += tallier->UpdateStatus(report.c_str(), recipient, "InProgress") != S_OK;
      }
    });
  }
  threads.clear();
  return failures == 0;
}

// A directory in memory where the machine offers one (the test is about
// concurrent writers, not about how fast the disk flushes).
struct MemoryDir {
  std::string path =
      (IsDirectory("/dev/shm") ? std::string("/dev/shm/") : TempDirectory()) + "tallier-XXXXXX";
  MemoryDir() { EXPECT_NE(mkdtemp(path.data()), nullptr); }
  ~MemoryDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

class TallierStressTest : public testing::RingwellTest {};

TEST_F(TallierStressTest, WritersInSeveralProcessesAndThreadsLoseNoCallResult) {
  std::string request = "<Request ID=\"r\" UserID=\"{0}\" Type=\"Call\"><Recipients>";
  for (int s = 0; s < kSubReports; ++s) request += "<Recipient>" + Number(s) + "</Recipient>";
  testing::WriteFile(root() + "Inbox/r.xml", request + "</Recipients></Request>");
  ASSERT_EQ(MakeComObject<CTallier>()->CreateNewReport((root() + "Inbox/r.xml").c_str()), S_OK);
  const MemoryDir store;
  const std::string report = store.path + "/report.xml";
  testing::WriteFile(report, testing::ReadFile(root() + "Reports/r.xml"));

  // Fork before any thread exists; each child runs its own writer threads.
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(RunWriterProcess(p, report) ? 0 : 1);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a call failed";
  }
  EXPECT_TRUE(EventLogEntries().empty());

  xml::Document document;
  ASSERT_EQ(document.Load(report), S_OK);
  const auto sub_reports = xml::ElementsByName(document.dom(), "SubReport");
  ASSERT_EQ(sub_reports.size(), static_cast<std::size_t>(kSubReports));
  std::set<int> seen;
  for (int s = 0; s < kSubReports; ++s) {
    EXPECT_STREQ(sub_reports[s].attribute("Status").value(), "InProgress");
    for (pugi::xml_node call : sub_reports[s].children("Call")) {
      const int tag = call.attribute("Error").as_int();
      EXPECT_EQ(SubReportOf(tag / kResultsPerThread, tag % kResultsPerThread), s) << tag;
      EXPECT_TRUE(seen.insert(tag).second) << tag << " twice";
    }
  }
  EXPECT_EQ(seen.size(),
            static_cast<std::size_t>(kProcesses * kThreadsPerProcess * kResultsPerThread));
}

}  // namespace
}  // namespace ringwell::tallier
