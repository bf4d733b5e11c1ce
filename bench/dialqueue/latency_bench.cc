// How long a due entry waits for its call: the time from an entry's StartTime
// to the moment a line's MakeCall begins, with 1, 8 and 32 modem lines (line
// numbers 1..N, real clock, devices that answer at once).
//  - single: one recipient due at a time, many rounds at random moments;
//  - burst:  as many recipients as lines, all due at the same moment (the
//            time until the last one's call starts).
// The lines poll the queue every 300 ms + 500 ms per line number above 1, so
// one line alone averages about 150 ms; more lines look more often.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "intake.h"
#include "modem_helper.h"
#include "ringwell/common/files.h"
#include "scheduler_state.h"

namespace {

using namespace ringwell;
using namespace ringwell::dialqueue;
using SteadyTime = std::chrono::steady_clock::time_point;

class NullTallier final : public ComObject<tallier::ITallier> {
 public:
  HRESULT CreateNewReport(const char*) override { return S_OK; }
  HRESULT UpdateStatus(const char*, const char*, const char*) override { return S_OK; }
  HRESULT AddCallResult(const char*, const char*, const char*) override { return S_OK; }
};

// Notes when each call begins and answers at once.
class StampingModem final : public ComObject<IModem> {
 public:
  HRESULT Describe(std::string* d) override {
    *d = "stamping modem";
    return S_OK;
  }
  HRESULT MakeCall(const char* number, const char*, const char*, std::string* result) override {
    const SteadyTime now = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex_);
      starts_[number] = now;
    }
    *result = "<Call Status=\"Completed\"><Answer>Answered</Answer></Call>";
    return S_OK;
  }
  std::map<std::string, SteadyTime> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(starts_, {});
  }

 private:
  std::mutex mutex_;
  std::map<std::string, SteadyTime> starts_;
};

struct Figures {
  double mean = 0;
  double median = 0;
  double max = 0;
};

Figures Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  Figures f;
  f.mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
  f.median = values[values.size() / 2];
  f.max = values.back();
  return f;
}

class Bench {
 public:
  explicit Bench(int lines) : dir_(MakeDir()) {
    state_.SetTallier(MakeComObject<NullTallier>());
    for (int line = 1; line <= lines; ++line) {
      modems_.push_back(MakeComObject<StampingModem>());
      helpers_.push_back(std::make_unique<CModemHelper>(modems_.back().Get(), line, state_));
    }
  }
  ~Bench() {
    helpers_.clear();
    std::filesystem::remove_all(dir_);
  }

  // Queues `recipients` entries due `lead` from now; returns each one's wait
  // (ms) from its due time to its call.
  std::vector<double> Round(int recipients, std::chrono::milliseconds lead) {
    const std::string id =
        "{00000000-0000-0000-0000-" + std::to_string(100000000000 + ++round_) + "}";
    const SteadyTime due = std::chrono::steady_clock::now() + lead;
    const OleDate start = OleDateNow() + lead.count() / 86'400'000.0;
    std::string xml = "<Request ID=\"" + id + "\" Type=\"Call\"><StartTime>" + OleDateToIso(start) +
                      "</StartTime><StopTime>" + OleDateToIso(start + 1) +
                      "</StopTime><Recipients>";
    for (int i = 0; i < recipients; ++i) {
      xml += "<Recipient>" + std::to_string(i) + "</Recipient>";
    }
    xml += "</Recipients><CallTree/></Request>";
    const std::string path = dir_ + "Requests/" + id + ".xml";
    if (Failed(WriteFileAtomically(path, xml)) || QueueRequestFile(path, state_) != S_OK) {
      std::abort();
    }
    while (state_.dial_queue().ContainsId(id)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<double> waits;
    for (auto& modem : modems_) {
      for (const auto& [number, begun] : modem->Take()) {
        waits.push_back(std::chrono::duration<double, std::milli>(begun - due).count());
      }
    }
    if (waits.size() != static_cast<std::size_t>(recipients)) std::abort();
    return waits;
  }

 private:
  static std::string MakeDir() {
    std::string path = TempDirectory() + "ringwell-bench-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) std::abort();
    std::filesystem::create_directories(path + "/Requests");
    return path + "/";
  }

  std::string dir_;
  SchedulerState state_;
  std::vector<ComPtr<StampingModem>> modems_;
  std::vector<std::unique_ptr<CModemHelper>> helpers_;
  long round_ = 0;
};

}  // namespace

int main() {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> lead_ms(100, 700);
  std::printf("Wait from an entry's due time to its call (ms)\n");
  std::printf("%6s | %8s %8s %8s | %12s %12s\n", "lines", "mean", "median", "max", "burst mean",
              "burst last");
  for (int lines : {1, 8, 32}) {
    Bench bench(lines);
    std::vector<double> single;
    for (int round = 0; round < 24; ++round) {
      for (double wait : bench.Round(1, std::chrono::milliseconds(lead_ms(random)))) {
        single.push_back(wait);
      }
    }
    std::vector<double> burst;
    double last = 0;
    for (int round = 0; round < 3; ++round) {
      std::vector<double> waits = bench.Round(lines, std::chrono::milliseconds(lead_ms(random)));
      last = std::max(last, *std::max_element(waits.begin(), waits.end()));
      burst.insert(burst.end(), waits.begin(), waits.end());
    }
    const Figures s = Summarise(single);
    const Figures b = Summarise(burst);
    std::printf("%6d | %8.1f %8.1f %8.1f | %12.1f %12.1f\n", lines, s.mean, s.median, s.max, b.mean,
                last);
    std::fflush(stdout);
  }
  std::printf("(one line polls every 300 ms: a lone line waits about 150 ms on average)\n");
  return 0;
}
