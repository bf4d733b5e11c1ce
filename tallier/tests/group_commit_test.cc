// Many threads of one process updating one report, whose updates are carried
// by shared saves: a call that returns S_OK has its change in the file, a save
// that fails is reported to every call whose change it held (and none of those
// changes is in the file), and a process killed while it saves loses no
// acknowledged result and books none twice.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "ctallier.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/concurrent_reader.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::tallier {
namespace {

using namespace std::chrono_literals;

constexpr char kId[] = "r";
constexpr int kSubReports = 40;

std::string Number(int index) { return "55502" + std::to_string(100 + index); }

// A call result that names itself by `tag`.
std::string Result(int tag) {
  return "<Call Error=\"" + std::to_string(tag) +
         "\"><Time dt:dt=\"dateTime\">2024-05-01T10:00:00</Time></Call>";
}

// The tags of the call results in the report at `path`, each with the
// recipient it was booked for and how often.
struct Booked {
  std::map<int, std::string> recipient;
  std::map<int, int> count;
};

Booked ReadBooked(const std::string& path) {
  xml::Document document;
  EXPECT_EQ(document.Load(path), S_OK) << path;
  Booked booked;
  for (pugi::xml_node sub_report : xml::ElementsByName(document.dom(), "SubReport")) {
    for (pugi::xml_node call : sub_report.children("Call")) {
      const int tag = call.attribute("Error").as_int();
      booked.recipient[tag] = sub_report.attribute("Recipient").value();
      ++booked.count[tag];
    }
  }
  return booked;
}

class GroupCommitTest : public testing::RingwellTest {
 protected:
  // Creates the report and returns its path.
  std::string MakeReport() {
    std::string request =
        std::string("<Request ID=\"") + kId + "\" UserID=\"{0}\" Type=\"Call\"><Recipients>";
    for (int s = 0; s < kSubReports; ++s) request += "<Recipient>" + Number(s) + "</Recipient>";
    testing::WriteFile(root() + "Inbox/r.xml", request + "</Recipients></Request>");
    EXPECT_EQ(MakeComObject<CTallier>()->CreateNewReport((root() + "Inbox/r.xml").c_str()), S_OK);
    return root() + "Reports/r.xml";
  }
};

// A line's two updates of a call: the start, then the result with the
// recipient's status. Returns the outcome of the result's update.
HRESULT BookCall(ITallierChanges* tallier, const std::string& report, int tag) {
  const std::string number = Number(tag % kSubReports);
  const std::string result = Result(tag);
  const ReportChange start[] = {{ReportChange::kStatus, number.c_str(), "InProgress"},
                                {ReportChange::kStatus, "", "InProgress"}};
  const ReportChange end[] = {{ReportChange::kCallResult, number.c_str(), result.c_str()},
                              {ReportChange::kStatus, number.c_str(), "Completed"}};
  const HRESULT hr = tallier->ApplyChanges(report.c_str(), start, 2);
  if (Failed(hr)) return hr;
  return tallier->ApplyChanges(report.c_str(), end, 2);
}

TEST_F(GroupCommitTest, EveryAcknowledgedResultOfManyThreadsIsInTheReport) {
  const std::string report = MakeReport();
  constexpr int kThreads = 24;
  constexpr int kCallsPerThread = 40;
  ComPtr<CTallier> tallier = MakeComObject<CTallier>();
  std::atomic<int> failures{0};
  // A client reads the report all the while: every save it sees is whole.
  testing::ConcurrentXmlReader reader(root() + "Reports");
  {
    std::vector<std::jthread> lines;
    for (int t = 0; t < kThreads; ++t) {
      lines.emplace_back([&, t] {
        for (int i = 0; i < kCallsPerThread; ++i) {
          failures += BookCall(tallier.Get(), report, t * kCallsPerThread + i) != S_OK;
        }
      });
    }
  }
  reader.Stop();
  EXPECT_EQ(reader.Unparsable(), std::vector<std::string>{});
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(EventLogEntries().empty());
  const Booked booked = ReadBooked(report);
  ASSERT_EQ(booked.count.size(), static_cast<std::size_t>(kThreads * kCallsPerThread));
  for (const auto& [tag, count] : booked.count) {
    EXPECT_EQ(count, 1) << tag;
    EXPECT_EQ(booked.recipient.at(tag), Number(tag % kSubReports)) << tag;
  }
  xml::Document document;
  ASSERT_EQ(document.Load(report), S_OK);
  EXPECT_STREQ(document.FirstChild().attribute("Status").value(), "InProgress");
  for (pugi::xml_node sub_report : xml::ElementsByName(document.dom(), "SubReport")) {
    EXPECT_STREQ(sub_report.attribute("Status").value(), "Completed");
  }
}

TEST_F(GroupCommitTest, AFailedSaveIsReportedToEveryCallWhoseChangeItHeld) {
  const std::string report = MakeReport();
  const std::string reports_dir = root() + "Reports";
  constexpr int kThreads = 8;
  constexpr int kMaxCallsPerThread = 2000;
  ComPtr<CTallier> tallier = MakeComObject<CTallier>(1ms);

  std::mutex mutex;
  std::condition_variable changed;
  std::map<int, HRESULT> outcome;  // tag → what AddCallResult returned
  int acknowledged = 0;
  {
    std::vector<std::jthread> lines;
    for (int t = 0; t < kThreads; ++t) {
      lines.emplace_back([&, t] {
        // Subject to file permissions, even as root, whichever thread saves.
        const testing::PermissionsEnforced enforced;
        int failed = 0;
        for (int i = 0; i < kMaxCallsPerThread && failed < 3; ++i) {
          const int tag = t * kMaxCallsPerThread + i;
          const std::string number = Number(tag % kSubReports);
          const HRESULT hr =
              tallier->AddCallResult(report.c_str(), number.c_str(), Result(tag).c_str());
          failed += Failed(hr);
          std::lock_guard lock(mutex);
          outcome[tag] = hr;
          acknowledged += hr == S_OK;
          changed.notify_all();
        }
      });
    }
    // Once some results are in, Reports/ stops taking files.
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 60s, [&] { return acknowledged >= 50; }));
    ASSERT_EQ(::chmod(reports_dir.c_str(), 0555), 0);
  }
  ::chmod(reports_dir.c_str(), 0755);

  const Booked booked = ReadBooked(report);
  int failures = 0;
  for (const auto& [tag, hr] : outcome) {
    if (hr == S_OK) {
      EXPECT_EQ(booked.count.count(tag), 1u) << "acknowledged result " << tag << " is lost";
    } else {
      ++failures;
      EXPECT_EQ(booked.count.count(tag), 0u) << "result " << tag << " was refused, yet saved";
    }
  }
  EXPECT_GE(failures, kThreads);
  EXPECT_EQ(booked.count.size(), outcome.size() - failures);
  // One error event per refused call, naming the report.
  int events = 0;
  for (const testing::EventLogEntry& entry : EventLogEntries()) {
    EXPECT_EQ(entry.strings.at(0), "CTallier::AddCallResult");
    EXPECT_EQ(entry.path, report);
    ++events;
  }
  EXPECT_EQ(events, failures);
}

// The child books calls on several threads and writes the tag of each result
// it was told is saved to `acks`; it runs until it is killed.
[[noreturn]] void BookUntilKilled(const std::string& report, int acks) {
  ComPtr<CTallier> tallier = MakeComObject<CTallier>();
  std::vector<std::jthread> lines;
  for (int t = 0; t < 8; ++t) {
    lines.emplace_back([&, t] {
      for (int i = 0;; ++i) {
        const int tag = t * 1'000'000 + i;
        if (BookCall(tallier.Get(), report, tag) != S_OK) _exit(1);
        if (::write(acks, &tag, sizeof tag) != sizeof tag) _exit(1);
      }
    });
  }
  for (;;) ::pause();
}

TEST_F(GroupCommitTest, AHostKilledWhileSavingLosesNoAcknowledgedResult) {
  const std::string report = MakeReport();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipe_fds[0]);
      BookUntilKilled(report, pipe_fds[1]);
    }
    ::close(pipe_fds[1]);
    // Kill it once it has booked some results: it is saving nearly all the time.
    std::set<int> acknowledged;
    int tag = 0;
    while (acknowledged.size() < 60 && ::read(pipe_fds[0], &tag, sizeof tag) == sizeof tag) {
      acknowledged.insert(tag);
    }
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the child stopped before it was killed";
    while (::read(pipe_fds[0], &tag, sizeof tag) == sizeof tag) acknowledged.insert(tag);
    ::close(pipe_fds[0]);

    const Booked booked = ReadBooked(report);
    for (int acked : acknowledged) {
      EXPECT_EQ(booked.count.count(acked), 1u) << "acknowledged result " << acked << " is lost";
    }
    for (const auto& [booked_tag, count] : booked.count) EXPECT_EQ(count, 1) << booked_tag;
    // The next round's child books the same tags again: start from a fresh report.
    MakeReport();
  }
}

}  // namespace
}  // namespace ringwell::tallier
