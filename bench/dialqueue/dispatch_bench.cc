// How fast the lines take calls, in the two dispatch modes: the polling rule
// (line n looks at the queue every 300 + 500·(n−1) ms) and immediate dispatch
// (a due entry goes at once to the lowest-numbered free line).
//  - rate: calls per second with 1, 8, 32 and 100 lines, every entry due,
//    devices that answer at once ("instant") or after 100 ms;
//  - burst: 32 entries due at one moment on 32 lines, the time until the last
//    call starts (min and median of several rounds).
// Real clock, a report generator that does nothing (this is about dispatch).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "intake.h"
#include "line_dispatcher.h"
#include "modem_helper.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "scheduler_state.h"

namespace {

using namespace ringwell;
using namespace ringwell::dialqueue;
using Clock = std::chrono::steady_clock;

class NullTallier final : public ComObject<tallier::ITallier> {
 public:
  HRESULT CreateNewReport(const char*) override { return S_OK; }
  HRESULT UpdateStatus(const char*, const char*, const char*) override { return S_OK; }
  HRESULT AddCallResult(const char*, const char*, const char*) override { return S_OK; }
};

// Counts calls, notes when the latest began, and lasts `duration`.
class CountingModem final : public ComObject<IModem> {
 public:
  CountingModem(std::atomic<long>& calls, std::atomic<Clock::rep>& last, Clock::duration duration)
      : calls_(calls), last_(last), duration_(duration) {}
  HRESULT Describe(std::string* d) override {
    *d = "counting modem";
    return S_OK;
  }
  HRESULT MakeCall(const char*, const char*, const char*, std::string* result) override {
    Clock::rep now = Clock::now().time_since_epoch().count();
    Clock::rep seen = last_.load();
    while (seen < now && !last_.compare_exchange_weak(seen, now)) {
    }
    ++calls_;
    if (duration_.count() > 0) std::this_thread::sleep_for(duration_);
    *result = "<Call Status=\"Completed\"><Answer>Answered</Answer></Call>";
    return S_OK;
  }

 private:
  std::atomic<long>& calls_;
  std::atomic<Clock::rep>& last_;
  const Clock::duration duration_;
};

class Lines {
 public:
  Lines(int count, bool immediate, Clock::duration duration) : dir_(MakeDir()) {
    state_.SetTallier(MakeComObject<NullTallier>());
    if (immediate) dispatcher_ = std::make_unique<LineDispatcher>(state_);
    for (int line = 1; line <= count; ++line) {
      auto modem = MakeComObject<CountingModem>(calls_, last_start_, duration);
      helpers_.push_back(
          std::make_unique<CModemHelper>(modem.Get(), line, state_, dispatcher_.get()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // every line waiting
  }
  ~Lines() {
    for (auto& helper : helpers_) helper->RequestStop();
    helpers_.clear();
    dispatcher_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Queues `recipients` entries, all due now, in requests of at most 50 (each
  // call loads its request file, which should stay small).
  void QueueMany(int recipients) {
    for (; recipients > 0; recipients -= 50) Queue(std::min(recipients, 50));
  }
  // Queues a request of `recipients`, all due now.
  void Queue(int recipients) {
    const std::string id =
        "{BE0C0000-0000-0000-0000-" + std::to_string(100000000000 + ++round_) + "}";
    const OleDate now = OleDateNow();
    std::string xml = "<Request ID=\"" + id + "\" Type=\"Call\"><StartTime>" +
                      OleDateToIso(now - 1.0 / 1440) + "</StartTime><StopTime>" +
                      OleDateToIso(now + 1) + "</StopTime><Recipients>";
    for (int i = 0; i < recipients; ++i) xml += "<Recipient>" + std::to_string(i) + "</Recipient>";
    xml += "</Recipients><CallTree/></Request>";
    const std::string path = dir_ + "Requests/" + id + ".xml";
    if (Failed(WriteFileAtomically(path, xml)) || QueueRequestFile(path, state_) != S_OK) {
      std::abort();
    }
  }
  long calls() const { return calls_.load(); }
  Clock::time_point last_start() const {
    return Clock::time_point(Clock::duration(last_start_.load()));
  }
  std::size_t queued() { return state_.dial_queue().Size(); }

 private:
  static std::string MakeDir() {
    const std::string base = IsDirectory("/dev/shm") ? "/dev/shm/" : TempDirectory();
    std::string path = base + "ringwell-dispatch-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) std::abort();
    std::filesystem::create_directories(path + "/Requests");
    return path + "/";
  }

  std::string dir_;
  SchedulerState state_;
  std::atomic<long> calls_{0};
  std::atomic<Clock::rep> last_start_{0};
  std::unique_ptr<LineDispatcher> dispatcher_;
  std::vector<std::unique_ptr<CModemHelper>> helpers_;
  long round_ = 0;
};

// Calls per second over `window`, with far more due entries than can be taken.
double Rate(int lines, bool immediate, Clock::duration duration, Clock::duration window) {
  Lines bench(lines, immediate, duration);
  bench.QueueMany(immediate ? 60'000 : 2'000);
  const Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(window);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(bench.calls()) / seconds;
}

// Milliseconds from the moment 32 entries fall due until the last call starts.
std::vector<double> Bursts(bool immediate, int rounds) {
  std::vector<double> found;
  Lines bench(32, immediate, std::chrono::milliseconds(0));
  for (int round = 0; round < rounds; ++round) {
    const long before = bench.calls();
    const Clock::time_point due = Clock::now();
    bench.Queue(32);
    while (bench.calls() < before + 32) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    found.push_back(std::chrono::duration<double, std::milli>(bench.last_start() - due).count());
    while (bench.queued() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

int main() {
  using std::chrono::milliseconds;
  std::printf("Calls per second by line count (every entry due)\n");
  std::printf("%6s | %14s %14s | %16s %16s\n", "lines", "polling inst.", "immediate inst.",
              "polling 100 ms", "immediate 100 ms");
  double polling_one = 0, immediate_one_100 = 0;
  for (int lines : {1, 8, 32, 100}) {
    const double polling = Rate(lines, false, milliseconds(0), milliseconds(4000));
    const double immediate = Rate(lines, true, milliseconds(0), milliseconds(1000));
    const double polling_100 = Rate(lines, false, milliseconds(100), milliseconds(4000));
    const double immediate_100 = Rate(lines, true, milliseconds(100), milliseconds(2000));
    if (lines == 1) polling_one = polling, immediate_one_100 = immediate_100;
    std::printf("%6d | %14.1f %14.1f | %16.1f %16.1f\n", lines, polling, immediate, polling_100,
                immediate_100);
    if (lines == 100) {
      std::printf(
          "100 lines, immediate, instant calls: %.0fx the one-line polling rate "
          "(goal 100x)\n",
          immediate / polling_one);
      std::printf("100 lines, immediate, 100 ms calls: %.0fx its one-line rate (goal 100x)\n",
                  immediate_100 / immediate_one_100);
    }
    std::fflush(stdout);
  }
  const std::vector<double> polling = Bursts(false, 2);
  const std::vector<double> immediate = Bursts(true, 9);
  std::printf("Burst of 32 due entries on 32 lines, until the last call starts (ms):\n");
  std::printf("  polling   min %8.1f  median %8.1f\n", polling.front(),
              polling[polling.size() / 2]);
  std::printf("  immediate min %8.1f  median %8.1f   (goal: within 100 ms)\n", immediate.front(),
              immediate[immediate.size() / 2]);
  return 0;
}
