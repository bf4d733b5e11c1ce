// Many writers on one report: several processes, each with several threads
// sharing one Tallier object (as the scheduler's line workers do), add call
// results and set statuses at once. Every call result must be in the report
// afterwards, in each writer's own order.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "ctallier.h"
#include "ringwell/common/files.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "tallier_test_support.h"

namespace ringwell::tallier {
namespace {

constexpr int kProcesses = 4;
constexpr int kThreadsPerProcess = 4;
constexpr int kResultsPerThread = 250;
constexpr int kSubReports = 50;
// Each writer sets a status after every tenth call result (every fiftieth:
// on the report and all sub-reports).
constexpr int kResultsPerStatus = 10;

std::string Number(int index) { return "55501" + std::to_string(100 + index); }

// The sub-report writer `writer` addresses with its `i`th result.
int SubReportOf(int writer, int i) { return (writer * 7 + i) % kSubReports; }

// Runs the threads of one process; the number of calls that failed.
int RunWriterProcess(int process, const std::string& report) {
  ComPtr<CTallier> tallier = MakeComObject<CTallier>();
  std::atomic<int> failures{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreadsPerProcess; ++t) {
      threads.emplace_back([&, writer = process * kThreadsPerProcess + t] {
        for (int i = 0; i < kResultsPerThread; ++i) {
          const std::string number = Number(SubReportOf(writer, i));
          const std::string result =
              "<Call Error=\"" + std::to_string(writer) + ":" + std::to_string(i) + "\"/>";
          if (tallier->AddCallResult(report.c_str(), number.c_str(), result.c_str()) != S_OK) {
            ++failures;
          }
          if (i % kResultsPerStatus != 0) continue;
          const char* recipient = i % (5 * kResultsPerStatus) == 0 ? "*" : number.c_str();
          if (tallier->UpdateStatus(report.c_str(), recipient, "InProgress") != S_OK) ++failures;
        }
      });
    }
  }
  return failures.load();
}

class TallierStressTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    // The report lives in memory when the machine offers it: the test is
    // about concurrent writers, not about how fast the disk flushes.
    std::string base = IsDirectory("/dev/shm") ? "/dev/shm/" : scratch();
    std::string pattern = base + "tallier-stress-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    store_ = pattern + "/";
    std::filesystem::create_directories(store_ + "Reports");
    SetConfigString("RootDir", store_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(store_, ec);
    RingwellTest::TearDown();
  }
  std::string store_;
};

TEST_F(TallierStressTest, WritersInSeveralProcessesAndThreadsLoseNoCallResult) {
  std::vector<std::string> numbers;
  for (int s = 0; s < kSubReports; ++s) numbers.push_back(Number(s));
  const std::string request = store_ + "request.xml";
  testing::WriteFile(
      request, test::RequestXml(test::DefaultRequestAttributes(), test::RecipientsXml(numbers)));
  ASSERT_EQ(MakeComObject<CTallier>()->CreateNewReport(request.c_str()), S_OK);
  const std::string report = store_ + "Reports/" + test::kRequestId + ".xml";

  // Fork before any thread exists; each child runs its own writer threads.
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(RunWriterProcess(p, report) == 0 ? 0 : 1);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer process failed";
  }
  EXPECT_TRUE(EventLogEntries().empty());

  xml::Document document;
  ASSERT_EQ(document.Load(report), S_OK);
  std::set<std::string> seen;
  std::map<int, int> last_of_writer;  // per sub-report walk: last i seen of each writer
  const auto sub_reports = xml::ElementsByName(document.dom(), "SubReport");
  ASSERT_EQ(sub_reports.size(), static_cast<std::size_t>(kSubReports));
  for (int s = 0; s < kSubReports; ++s) {
    last_of_writer.clear();
    EXPECT_STREQ(sub_reports[s].attribute("Status").value(), "InProgress");
    for (pugi::xml_node call : sub_reports[s].children("Call")) {
      const std::string tag = call.attribute("Error").value();
      const int writer = std::stoi(tag.substr(0, tag.find(':')));
      const int i = std::stoi(tag.substr(tag.find(':') + 1));
      EXPECT_EQ(SubReportOf(writer, i), s) << tag << " in the wrong sub-report";
      EXPECT_TRUE(seen.insert(tag).second) << tag << " twice";
      auto [last, first] = last_of_writer.try_emplace(writer, i);
      if (!first) {
        EXPECT_LT(last->second, i) << tag << " out of order";
      }
      last->second = i;
    }
  }
  EXPECT_EQ(seen.size(),
            static_cast<std::size_t>(kProcesses * kThreadsPerProcess * kResultsPerThread));
}

}  // namespace
}  // namespace ringwell::tallier
