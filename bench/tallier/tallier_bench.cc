// Cost of the report generator's updates as reports grow: UpdateStatus and
// AddCallResult on reports of 10, 1,000 and 10,000 sub-reports, each a whole
// locked load, change and atomic, flushed save of the file; and the updates of
// one call as a line makes them (two, each one save) beside the four single
// calls they replace, against the 30 calls per second a large request needs. Beside them, the
// floor every update pays: loading and saving the same report unchanged and
// unlocked.
//
// Each case runs twice: with the report on disk ($TMPDIR, else /tmp), where a
// save waits for the flush, and in memory (/dev/shm, when there is one), which
// shows the work itself. Times are wall-clock medians of a few runs. The
// summary prints the time per operation and per sub-report, and in memory the
// ratio to the floor.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>

#include "ctallier.h"
#include "ringwell/common/files.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/xml.h"

namespace {

using ringwell::ComPtr;
using ringwell::S_OK;
using ringwell::tallier::CTallier;

constexpr char kId[] = "{0B7C2D4E-1F3A-4B5C-8D9E-0A1B2C3D4E5F}";
constexpr char kCallResult[] =
    "<Call xmlns=\"urn:schemas-microsoft-com:xml-data\" "
    "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" Status=\"Completed\" Error=\"\">"
    "<Time dt:dt=\"dateTime\">2024-05-01T10:00:00</Time><Answer>Yes</Answer>"
    "<Protocol>Greeting played; button 1</Protocol><Duration dt:dt=\"int\">42</Duration></Call>";
constexpr int kRepetitions = 3;

enum Medium { kDisk = 0, kMemory = 1 };

std::string Number(int index) { return "+4930" + std::to_string(1000000 + index); }

std::string MakeTempDir(const std::string& base) {
  std::string pattern = base + "tallier-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern + "/";
}

// A storage root with its own registry store (so the benchmark touches
// neither /etc nor the journal), and a directory in memory.
class Storage {
 public:
  Storage() : disk_(MakeTempDir(ringwell::TempDirectory())) {
    if (disk_.empty()) std::abort();
    if (ringwell::IsDirectory("/dev/shm")) memory_ = MakeTempDir("/dev/shm/");
    std::filesystem::create_directories(disk_ + "root/Reports");
    setenv("RINGWELL_REGISTRY", (disk_ + "registry.toml").c_str(), 1);
    setenv("RINGWELL_JOURNAL", "0", 1);
    unsetenv("RINGWELL_EVENTLOG");
    ringwell::registry::Key key;
    ringwell::registry::Key::Create(ringwell::kConfigKey, &key);
    key.SetString(ringwell::kRootDirValue, disk_ + "root/");
  }
  ~Storage() {
    std::error_code ec;
    std::filesystem::remove_all(disk_, ec);
    if (!memory_.empty()) std::filesystem::remove_all(memory_, ec);
  }
  const std::string& disk() const { return disk_; }
  // Empty when the machine has no memory file system.
  const std::string& memory() const { return memory_; }

 private:
  std::string disk_;
  std::string memory_;
};

Storage& TheStorage() {
  static Storage storage;
  return storage;
}

// A report of `sub_reports` recipients, created by the tallier and placed on
// the medium of the benchmark's second argument. Empty path: no such medium.
struct Report {
  std::string path;
  std::string content;
  ComPtr<CTallier> tallier;
};

Report MakeReport(const benchmark::State& state) {
  const int sub_reports = static_cast<int>(state.range(0));
  Report report{.path = {}, .content = {}, .tallier = ringwell::MakeComObject<CTallier>()};
  std::string request = std::string(
                            "<Request xmlns=\"urn:schemas-microsoft-com:xml-data\" "
                            "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"") +
                        kId + "\" UserID=\"{0}\" Type=\"Call\"><Recipients>";
  for (int i = 0; i < sub_reports; ++i) {
    request += "<Recipient dt:dt=\"string\" Type=\"PhoneNumber\">" + Number(i) + "</Recipient>";
  }
  request += "</Recipients><CallTree/></Request>";
  const Storage& storage = TheStorage();
  const std::string request_path = storage.disk() + "request.xml";
  ringwell::WriteFileAtomically(request_path, request);
  if (report.tallier->CreateNewReport(request_path.c_str()) != S_OK) std::abort();
  ringwell::ReadWholeFile(storage.disk() + "root/Reports/" + kId + ".xml", &report.content);
  const std::string& dir = state.range(1) == kMemory ? storage.memory() : storage.disk();
  if (dir.empty()) return report;
  report.path = dir + "report.xml";
  ringwell::WriteFileAtomically(report.path, report.content);
  return report;
}

void SetCounters(benchmark::State& state) {
  using benchmark::Counter;
  const double iterations = static_cast<double>(state.iterations());
  const double sub_reports = static_cast<double>(state.range(0));
  state.counters["per_op"] = Counter(iterations, Counter::kIsRate | Counter::kInvert);
  state.counters["per_sub_report"] =
      Counter(iterations * sub_reports, Counter::kIsRate | Counter::kInvert);
}

void BM_UpdateStatus(benchmark::State& state) {
  const Report report = MakeReport(state);
  if (report.path.empty()) return state.SkipWithError("no memory file system");
  const std::string number = Number(static_cast<int>(state.range(0)) / 2);
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    if (report.tallier->UpdateStatus(report.path.c_str(), number.c_str(),
                                     flip ? "InProgress" : "Scheduled") != S_OK) {
      return state.SkipWithError("UpdateStatus failed");
    }
  }
  SetCounters(state);
}

void BM_AddCallResult(benchmark::State& state) {
  const Report report = MakeReport(state);
  if (report.path.empty()) return state.SkipWithError("no memory file system");
  const std::string number = Number(static_cast<int>(state.range(0)) / 2);
  for (auto _ : state) {
    // Every call starts from the same report, so results do not pile up. The
    // copy is flushed before the clock runs again, so the call's own flush
    // does not pay for it.
    state.PauseTiming();
    ringwell::WriteFileAtomically(report.path, report.content);
    state.ResumeTiming();
    if (report.tallier->AddCallResult(report.path.c_str(), number.c_str(), kCallResult) != S_OK) {
      return state.SkipWithError("AddCallResult failed");
    }
  }
  SetCounters(state);
}

// What the scheduler's lines make of one call: the start ("InProgress" for the
// recipient and the request) and the end (the result with the recipient's
// status), each one update. Recipient after recipient gets its call, so the
// report grows as a large request's does.
void BM_CallUpdates(benchmark::State& state) {
  using ringwell::tallier::ReportChange;
  const Report report = MakeReport(state);
  if (report.path.empty()) return state.SkipWithError("no memory file system");
  const int sub_reports = static_cast<int>(state.range(0));
  int next = 0;
  for (auto _ : state) {
    const std::string number = Number(next++ % sub_reports);
    const ReportChange start[] = {{ReportChange::kStatus, number.c_str(), "InProgress"},
                                  {ReportChange::kStatus, "", "InProgress"}};
    const ReportChange end[] = {{ReportChange::kCallResult, number.c_str(), kCallResult},
                                {ReportChange::kStatus, number.c_str(), "Completed"}};
    if (report.tallier->ApplyChanges(report.path.c_str(), start, 2) != S_OK ||
        report.tallier->ApplyChanges(report.path.c_str(), end, 2) != S_OK) {
      return state.SkipWithError("ApplyChanges failed");
    }
  }
  SetCounters(state);
}

// The same call booked the way a line did it before: four updates.
void BM_CallUpdatesSingly(benchmark::State& state) {
  const Report report = MakeReport(state);
  if (report.path.empty()) return state.SkipWithError("no memory file system");
  const int sub_reports = static_cast<int>(state.range(0));
  const char* path = report.path.c_str();
  int next = 0;
  for (auto _ : state) {
    const std::string number = Number(next++ % sub_reports);
    if (report.tallier->UpdateStatus(path, number.c_str(), "InProgress") != S_OK ||
        report.tallier->UpdateStatus(path, "", "InProgress") != S_OK ||
        report.tallier->AddCallResult(path, number.c_str(), kCallResult) != S_OK ||
        report.tallier->UpdateStatus(path, number.c_str(), "Completed") != S_OK) {
      return state.SkipWithError("an update failed");
    }
  }
  SetCounters(state);
}

// The floor: load and save the same report, unchanged and unlocked.
void BM_LoadAndSave(benchmark::State& state) {
  const Report report = MakeReport(state);
  if (report.path.empty()) return state.SkipWithError("no memory file system");
  for (auto _ : state) {
    ringwell::xml::Document document;
    if (document.Load(report.path) != S_OK || document.Save(report.path) != S_OK) {
      return state.SkipWithError("load or save failed");
    }
  }
  SetCounters(state);
}

void Cases(benchmark::internal::Benchmark* b) {
  b->ArgNames({"sub_reports", "in_memory"})
      ->ArgsProduct({{10, 1000, 10000}, {kDisk, kMemory}})
      ->UseRealTime()
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true)
      ->Unit(benchmark::kMicrosecond);
}
BENCHMARK(BM_LoadAndSave)->Apply(Cases);
BENCHMARK(BM_UpdateStatus)->Apply(Cases);
BENCHMARK(BM_AddCallResult)->Apply(Cases);
BENCHMARK(BM_CallUpdates)->Apply(Cases);
BENCHMARK(BM_CallUpdatesSingly)->Apply(Cases);

// Prints the usual table and keeps the median time per operation of each case
// for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Aggregate ||
          run.aggregate_name != "median") {
        continue;
      }
      // "BM_X/sub_reports:N/in_memory:M/..."
      const std::string& args = run.run_name.args;
      const int size = std::stoi(args.substr(args.find(':') + 1));
      const int medium = std::stoi(args.substr(args.rfind(':') + 1));
      seconds_[{run.run_name.function_name.substr(3), size, medium}] =
          run.GetAdjustedRealTime() * 1e-6;  // reported in microseconds
    }
  }

  void PrintSummary() const {
    std::printf("\n%-14s %11s | %12s %14s | %12s %14s %10s\n", "", "", "disk", "", "memory", "",
                "memory");
    std::printf("%-14s %11s | %12s %14s | %12s %14s %10s\n", "operation", "sub-reports",
                "us per op", "us per sub-r.", "us per op", "us per sub-r.", "x floor");
    for (const char* name :
         {"LoadAndSave", "UpdateStatus", "AddCallResult", "CallUpdates", "CallUpdatesSingly"}) {
      for (int size : {10, 1000, 10000}) {
        const double disk = Find(name, size, kDisk);
        const double memory = Find(name, size, kMemory);
        const double floor = Find("LoadAndSave", size, kMemory);
        std::printf("%-14s %11d | %12.1f %14.3f | %12.1f %14.3f %10.2f\n", name, size, disk * 1e6,
                    disk * 1e6 / size, memory * 1e6, memory * 1e6 / size,
                    floor > 0 ? memory / floor : 0.0);
      }
    }
    // One call costs the host its report updates: at 10,000 recipients they
    // must leave room for 30 calls per second.
    for (const char* name : {"CallUpdates", "CallUpdatesSingly"}) {
      const double disk = Find(name, 10000, kDisk);
      const double memory = Find(name, 10000, kMemory);
      std::printf(
          "%s at 10,000 recipients: %.1f ms per call on disk (at most %.0f calls/s), "
          "%.1f ms in memory (%.0f calls/s); limit: no cap below 30 calls/s\n",
          name, disk * 1e3, disk > 0 ? 1 / disk : 0.0, memory * 1e3, memory > 0 ? 1 / memory : 0.0);
    }
  }

 private:
  double Find(const std::string& name, int size, int medium) const {
    auto it = seconds_.find({name, size, medium});
    return it == seconds_.end() ? 0.0 : it->second;
  }
  std::map<std::tuple<std::string, int, int>, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TheStorage();
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  return 0;
}
