// The daemon with several worker processes: every request scheduled once by
// one of them, a worker that died replaced (with one event, and no storm of
// restarts when it keeps dying), a request that killed its worker twice
// given up, and the workers going along with a killed daemon.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "file_processor.h"
#include "prepax_test_support.h"
#include "ringwell/testing/process.h"
#include "worker_pool.h"
#include "worker_share.h"

namespace ringwell::prepax {
namespace {

using namespace std::chrono_literals;
using ringwell::testing::ChildProcess;
using ringwell::testing::ListDir;
using ringwell::testing::ProgramPath;
using ringwell::testing::ReadFile;

TEST(WorkerShareTest, EveryNameBelongsToExactlyOneWorkerAndEachGetsAShare) {
  for (unsigned count : {1u, 2u, 3u, 8u}) {
    std::vector<unsigned> owned(count);
    for (int i = 0; i < 400; ++i) {
      const std::string name = "{6D1B5E0A-" + std::to_string(1000 + i) + "-4000}.xml";
      unsigned owners = 0;
      for (unsigned index = 0; index < count; ++index) {
        if (WorkerShare{index, count}.Owns(name)) {
          ++owners;
          ++owned[index];
        }
      }
      EXPECT_EQ(owners, 1u) << name << " among " << count;
    }
    for (unsigned index = 0; index < count; ++index) {
      EXPECT_GT(owned[index], 400 / count / 2) << "worker " << index << " of " << count;
    }
  }
}

// The child processes of the calling thread (the ones it forked).
std::set<pid_t> Children() {
  const std::string self = "/proc/self/task/" + std::to_string(::gettid()) + "/children";
  std::istringstream children(ReadFile(self));
  std::set<pid_t> found;
  for (pid_t child = 0; children >> child;) found.insert(child);
  return found;
}

TEST(WorkerPoolTest, NoWorkerStartsAgainAfterTheStop) {
  const std::set<pid_t> before = Children();
  WorkerPool pool(2, [] {
    ::pause();  // until the stop's SIGTERM
    return 0;
  });
  pool.StartDue();
  EXPECT_EQ(Children().size(), before.size() + 2);
  pool.Stop();
  EXPECT_EQ(Children(), before);
  // Whatever the supervisor's loop still does, nothing starts.
  pool.Reap();
  pool.StartDue();
  EXPECT_EQ(Children(), before);
  pool.Stop();
}

class WorkersTest : public testing::PrepaxTest {
 protected:
  void StartDaemon(ChildProcess& daemon) {
    ASSERT_EQ(ringwell::testing::RunCapturing({ProgramPath("prepax"), "-RegServer"}, Environment())
                  .exit_code,
              0);
    auto environment = Environment();
    environment["RINGWELL_PREPAX_WORKERS"] = "2";
    ASSERT_TRUE(daemon.Start({ProgramPath("prepax")}, environment));
    ASSERT_TRUE(daemon.WaitForLine("Prepax is running", 30s)) << daemon.output();
  }
  std::map<std::string, std::string> Environment() const {
    return {{"RINGWELL_REGISTRY", registry_path()},
            {"RINGWELL_EVENTLOG", event_log_path()},
            {"RINGWELL_JOURNAL", "0"}};
  }
  std::vector<std::string> SubmitTexts(int count) {
    std::vector<std::string> ids;
    for (int i = 0; i < count; ++i) {
      auto request = NewRequest({"5551234"});
      AddPart(request.Get(), kel::kelTextMessagePart, "Request " + std::to_string(i));
      ids.push_back(Submit(request.Get()));
    }
    return ids;
  }
  bool WaitFor(const std::function<bool()>& done, std::chrono::seconds timeout = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  // The daemon's running child processes.
  static std::set<pid_t> Workers(pid_t daemon) {
    const std::string pid = std::to_string(daemon);
    std::istringstream children(ReadFile("/proc/" + pid + "/task/" + pid + "/children"));
    std::set<pid_t> workers;
    for (pid_t child = 0; children >> child;) workers.insert(child);
    return workers;
  }
  // Waits until the daemon runs two workers, none of them in `gone`.
  std::set<pid_t> WaitForTwoWorkers(pid_t daemon, const std::set<pid_t>& gone = {}) {
    std::set<pid_t> workers;
    WaitFor([&] {
      workers = Workers(daemon);
      for (pid_t pid : gone) workers.erase(pid);
      return workers.size() == 2;
    });
    return workers;
  }
  static bool Alive(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
  }
  // How long the process has been running, in seconds (from its start time in
  // /proc and the system's uptime).
  static double Age(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos) return 0;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    // The start time is the 22nd field; the text after ")" begins with the 3rd.
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    if (field.empty()) return 0;
    double uptime = 0;
    std::istringstream(ReadFile("/proc/uptime")) >> uptime;
    return uptime - std::stod(field) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  std::vector<std::string> EventTexts() {
    std::vector<std::string> texts;
    for (const auto& entry : EventLogEntries()) texts.push_back(entry.text);
    return texts;
  }
  // Scheduled once: its request file in Requests, its one wav beside it,
  // nothing left in Inbox, and "Scheduled" for the report and the recipient.
  void ExpectScheduledOnce(const std::string& id) {
    EXPECT_TRUE(std::filesystem::exists(RequestFile(id))) << id;
    EXPECT_EQ(ListDir(RequestDir(id)).size(), 1u) << id;
    EXPECT_FALSE(std::filesystem::exists(InboxFile(id))) << id;
    EXPECT_EQ(ReportStatus(id), "Scheduled") << id;
    EXPECT_EQ(ReportStatus(id, "5551234"), "Scheduled") << id;
  }
};

TEST_F(WorkersTest, TwoWorkersScheduleEveryRequestOnceAndOneThatDiedIsReplaced) {
  std::vector<std::string> ids = SubmitTexts(10);
  ChildProcess daemon;
  StartDaemon(daemon);
  for (const auto& id : ids) EXPECT_TRUE(WaitFor([&] { return ReportStatus(id) == "Scheduled"; }));
  EXPECT_TRUE(EventTexts().empty());

  // A worker killed after a run of some seconds is started again at once,
  // with one event.
  std::set<pid_t> workers = WaitForTwoWorkers(daemon.pid());
  ASSERT_EQ(workers.size(), 2u);
  // Past the quick ends of a worker that cannot run.
  ASSERT_TRUE(WaitFor([&] { return Age(*workers.begin()) > 5.5; }));
  std::set<pid_t> gone = {*workers.begin()};
  ASSERT_EQ(::kill(*workers.begin(), SIGKILL), 0);
  // Killed twice more right after its start: one more event, and pauses.
  for (int kill = 0; kill < 2; ++kill) {
    const std::set<pid_t> now = WaitForTwoWorkers(daemon.pid(), gone);
    ASSERT_EQ(now.size(), 2u) << "kill " << kill;
    std::vector<pid_t> fresh;
    for (pid_t pid : now) {
      if (!workers.contains(pid)) fresh.push_back(pid);
    }
    ASSERT_EQ(fresh.size(), 1u);
    workers = now;
    gone.insert(fresh[0]);
    ASSERT_EQ(::kill(fresh[0], SIGKILL), 0);
  }
  ASSERT_EQ(WaitForTwoWorkers(daemon.pid(), gone).size(), 2u);

  const std::vector<std::string> later = SubmitTexts(6);
  for (const auto& id : later) {
    EXPECT_TRUE(WaitFor([&] { return ReportStatus(id) == "Scheduled"; }));
  }
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(30s), 0);

  ids.insert(ids.end(), later.begin(), later.end());
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  EXPECT_EQ(ListDir(root() + "Requests").size(), 2 * ids.size());  // nothing temporary
  for (const auto& id : ids) ExpectScheduledOnce(id);
  const std::vector<std::string> events = EventTexts();
  ASSERT_EQ(events.size(), 2u) << ::testing::PrintToString(events);
  EXPECT_NE(events[0].find("was ended by signal 9 (Killed); it is started again."),
            std::string::npos)
      << events[0];
  EXPECT_NE(events[1].find("s after its start; it is started again after a pause"),
            std::string::npos)
      << events[1];
}

TEST_F(WorkersTest, RequestThatKilledItsWorkerTwiceIsGivenUpAndTheOthersGoOn) {
  std::string text;
  for (int i = 0; i < 60; ++i) {
    text += "This is sentence " + std::to_string(i) + " of a long announcement. ";
  }
  auto request = NewRequest({"5551234"});
  for (int i = 0; i < 40; ++i) AddPart(request.Get(), kel::kelTextMessagePart, text);
  const std::string id = Submit(request.Get());
  const std::string marker = RequestDir(id) + "/" + kPreprocessingMarker;

  ChildProcess daemon;
  StartDaemon(daemon);
  for (const char* attempt : {"1", "2"}) {
    // In the middle of the request: its marker counts this attempt and its
    // first wav files are there. Both workers go, the one speaking among them.
    ASSERT_TRUE(WaitFor([&] {
      return std::filesystem::exists(marker) && ReadFile(marker) == attempt &&
             ListDir(RequestDir(id)).size() >= 3;
    })) << attempt;
    for (pid_t worker : Workers(daemon.pid())) ::kill(worker, SIGKILL);
  }
  EXPECT_TRUE(WaitFor([&] { return ReportStatus(id) == "InternalError"; }));
  const std::vector<std::string> others = SubmitTexts(4);
  for (const auto& other : others) {
    EXPECT_TRUE(WaitFor([&] { return ReportStatus(other) == "Scheduled"; }));
  }
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(30s), 0);
  EXPECT_FALSE(std::filesystem::exists(InboxFile(id)));
  EXPECT_FALSE(std::filesystem::exists(RequestDir(id)))
      << ::testing::PrintToString(ListDir(RequestDir(id)));
  for (const auto& other : others) ExpectScheduledOnce(other);
  bool given_up = false;
  for (const auto& text : EventTexts()) {
    given_up |= text.find("Request " + id + " was started 2 times") != std::string::npos;
  }
  EXPECT_TRUE(given_up);
}

TEST_F(WorkersTest, ADaemonKilledOutrightTakesItsWorkersAlong) {
  ChildProcess daemon;
  StartDaemon(daemon);
  const std::set<pid_t> workers = WaitForTwoWorkers(daemon.pid());
  ASSERT_EQ(workers.size(), 2u);
  daemon.Signal(SIGKILL);
  daemon.Wait(30s);
  for (pid_t worker : workers) {
    EXPECT_TRUE(WaitFor([&] { return !Alive(worker); }, 10s)) << worker;
  }
}

}  // namespace
}  // namespace ringwell::prepax
