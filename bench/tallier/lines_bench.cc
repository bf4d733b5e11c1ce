// Many lines, one big report: what a report update costs the lines of one
// host when they all book calls in the same 10,000-recipient report, as a
// mass notification does. Each line books its calls as the scheduler's lines
// do: the start (the recipient and the request "InProgress") and the end (the
// result with the recipient's status), each one update that returns once it
// is saved.
//
// Two ways of saving, side by side in one run: one save per update, one at a
// time under the report's lock (as before group commit), and group commit
// (one save carries every update queued meanwhile). The report starts each run
// with one call result per recipient (about 4 MB, the size a 10,000-recipient
// report reaches), on disk ($TMPDIR, else /tmp; saves wait for the flush) and
// in memory (/dev/shm, when there is one).
//
// Printed per case, over 3 runs: milliseconds per update (the run's wall time
// over its updates: what the saving costs per update when lines queue up),
// min and median; the host CPU per update; and how long a line waits for one
// of its updates (median and 95th percentile over all runs).
//
// With --recipients N the report has N recipients; above 10,000 only group
// commit runs (one save per update takes seconds each there), and its rows
// say how many calls a second the saves keep up with.
//
// Usage: bench_tallier_lines [--recipients N] [lines...]   (default 16 64 256)
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ctallier.h"
#include "ringwell/common/files.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"

namespace {

using ringwell::ComPtr;
using ringwell::S_OK;
using ringwell::tallier::CTallier;
using ringwell::tallier::ReportChange;
using Clock = std::chrono::steady_clock;

constexpr char kId[] = "{5E2F8A61-3C4D-4B7E-9F10-2A3B4C5D6E7F}";
constexpr char kCallResult[] =
    "<Call xmlns=\"urn:schemas-microsoft-com:xml-data\" "
    "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" Status=\"Completed\" Error=\"\">"
    "<Time dt:dt=\"dateTime\">2024-05-01T10:00:00</Time><Answer>Yes</Answer>"
    "<Protocol>Greeting played; button 1</Protocol><Duration dt:dt=\"int\">42</Duration></Call>";
int g_recipients = 10000;  // --recipients
constexpr int kRuns = 3;
// Calls booked per run, spread over the lines (each line books at least one).
constexpr int kCallsPerRun = 128;

std::string Number(int index) { return "+4930" + std::to_string(1000000 + index); }

std::string MakeTempDir(const std::string& base) {
  std::string pattern = base + "tallier-lines-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern + "/";
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The 10,000-recipient report with one call result per recipient, as text.
std::string MakeReportText(const std::string& dir) {
  std::filesystem::create_directories(dir + "root/Reports");
  setenv("RINGWELL_REGISTRY", (dir + "registry.toml").c_str(), 1);
  setenv("RINGWELL_JOURNAL", "0", 1);
  unsetenv("RINGWELL_EVENTLOG");
  ringwell::registry::Key key;
  ringwell::registry::Key::Create(ringwell::kConfigKey, &key);
  key.SetString(ringwell::kRootDirValue, dir + "root/");

  std::string request = std::string(
                            "<Request xmlns=\"urn:schemas-microsoft-com:xml-data\" "
                            "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"") +
                        kId + "\" UserID=\"{0}\" Type=\"Call\"><Recipients>";
  std::vector<std::string> numbers;
  for (int i = 0; i < g_recipients; ++i) {
    numbers.push_back(Number(i));
    request += "<Recipient dt:dt=\"string\">" + numbers.back() + "</Recipient>";
  }
  ringwell::WriteFileAtomically(dir + "request.xml", request + "</Recipients></Request>");
  ComPtr<CTallier> tallier = ringwell::MakeComObject<CTallier>();
  if (tallier->CreateNewReport((dir + "request.xml").c_str()) != S_OK) std::abort();
  const std::string report = dir + "root/Reports/" + kId + ".xml";
  std::vector<ReportChange> changes;
  for (const std::string& number : numbers) {
    changes.push_back({ReportChange::kCallResult, number.c_str(), kCallResult});
  }
  if (tallier->ApplyChanges(report.c_str(), changes.data(),
                            static_cast<std::int32_t>(changes.size())) != S_OK) {
    std::abort();
  }
  std::string text;
  ringwell::ReadWholeFile(report, &text);
  return text;
}

struct Run {
  double ms_per_update = 0;
  double cpu_ms_per_update = 0;
  std::vector<double> waits_ms;  // each update as its line waited for it
};

// One run: `lines` threads book their calls in the report at `path`.
Run RunLines(const std::string& path, const std::string& text, int lines, std::size_t max_batch) {
  ringwell::WriteFileAtomically(path, text);
  ComPtr<CTallier> tallier = ringwell::MakeComObject<CTallier>(CTallier::kRetryDelay, max_batch);
  // Parsed once before the clock runs, as a running host has it.
  if (tallier->UpdateStatus(path.c_str(), "", "InProgress") != S_OK) std::abort();
  const int calls_per_line = std::max(1, kCallsPerRun / lines);
  std::vector<std::vector<double>> waits(lines);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  const double cpu_before = CpuSeconds();
  Clock::time_point start;
  {
    std::vector<std::jthread> threads;
    for (int l = 0; l < lines; ++l) {
      threads.emplace_back([&, l] {
        ++ready;
        while (!go.load()) std::this_thread::yield();
        for (int c = 0; c < calls_per_line; ++c) {
          const std::string number = Number((l * calls_per_line + c) % g_recipients);
          const ReportChange start_changes[] = {
              {ReportChange::kStatus, number.c_str(), "InProgress"},
              {ReportChange::kStatus, "", "InProgress"}};
          const ReportChange end_changes[] = {
              {ReportChange::kCallResult, number.c_str(), kCallResult},
              {ReportChange::kStatus, number.c_str(), "Completed"}};
          for (const ReportChange* changes : {start_changes, end_changes}) {
            const Clock::time_point before = Clock::now();
            if (tallier->ApplyChanges(path.c_str(), changes, 2) != S_OK) std::abort();
            waits[l].push_back(Seconds(Clock::now() - before) * 1e3);
          }
        }
      });
    }
    while (ready.load() < lines) std::this_thread::yield();
    start = Clock::now();
    go = true;
  }
  const double wall = Seconds(Clock::now() - start);
  Run run;
  for (const auto& line : waits) run.waits_ms.insert(run.waits_ms.end(), line.begin(), line.end());
  const double updates = static_cast<double>(run.waits_ms.size());
  run.ms_per_update = wall * 1e3 / updates;
  run.cpu_ms_per_update = (CpuSeconds() - cpu_before) * 1e3 / updates;
  return run;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  if (values.empty()) return 0;
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> line_counts;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--recipients" && i + 1 < argc) {
      g_recipients = std::max(1, std::atoi(argv[++i]));
    } else {
      line_counts.push_back(std::atoi(argv[i]));
    }
  }
  if (line_counts.empty()) line_counts = {16, 64, 256};

  const std::string disk = MakeTempDir(ringwell::TempDirectory());
  const std::string memory = ringwell::IsDirectory("/dev/shm") ? MakeTempDir("/dev/shm/") : "";
  if (disk.empty()) return 1;
  const std::string text = MakeReportText(disk);
  std::printf("report: %d recipients, %.1f MB; %d calls (2 updates each) per run, %d runs\n\n",
              g_recipients, text.size() / 1e6, kCallsPerRun, kRuns);
  std::printf("%-7s %6s %-14s | %10s %10s | %10s | %12s %12s\n", "medium", "lines", "saving",
              "ms/update", "", "cpu ms", "line waits", "for update");
  std::printf("%-7s %6s %-14s | %10s %10s | %10s | %12s %12s\n", "", "", "", "min", "median",
              "per update", "median ms", "p95 ms");
  for (const auto& [medium, dir] : {std::pair{"disk", disk}, std::pair{"memory", memory}}) {
    if (dir.empty()) continue;
    for (int lines : line_counts) {
      double medians[2] = {0, 0};
      for (std::size_t max_batch : {std::size_t{1}, std::size_t{0}}) {
        if (max_batch == 1 && g_recipients > 10000) continue;
        std::vector<double> per_update, cpu, waits;
        for (int r = 0; r < kRuns; ++r) {
          Run run = RunLines(dir + "report.xml", text, lines, max_batch);
          per_update.push_back(run.ms_per_update);
          cpu.push_back(run.cpu_ms_per_update);
          waits.insert(waits.end(), run.waits_ms.begin(), run.waits_ms.end());
        }
        medians[max_batch == 0] = Median(per_update);
        std::printf("%-7s %6d %-14s | %10.2f %10.2f | %10.2f | %12.1f %12.1f", medium, lines,
                    max_batch == 1 ? "one at a time" : "group commit",
                    *std::min_element(per_update.begin(), per_update.end()), Median(per_update),
                    Median(cpu), Median(waits), Percentile(waits, 0.95));
        // Two updates a call: the calls a second these saves keep up with.
        if (max_batch == 0) std::printf("   %.0f calls/s", 1000 / (2 * Median(per_update)));
        std::printf("\n");
        std::fflush(stdout);
      }
      if (medians[0] > 0) {
        std::printf("%-7s %6d %-14s | %10s %9.1fx\n", medium, lines, "ratio", "",
                    medians[0] / medians[1]);
      }
    }
  }
  std::printf(
      "\ntarget: under 2 ms per update at 10000 recipients; at 100000 the saves keep "
      "up with 200 calls/s\n");
  std::error_code ec;
  std::filesystem::remove_all(disk, ec);
  if (!memory.empty()) std::filesystem::remove_all(memory, ec);
  return 0;
}
