// Intake of one scheduled request with 1,000, 10,000 and 100,000 recipients
// (AddRequest's work: load, read, queue every recipient), side by side with
//  - parsing the same file and reading its recipients, the least any intake
//    must do, and
//  - a plain list queue that finds each insertion point by walking from the
//    front and answers ContainsId by walking the list (the obvious way to
//    keep entries ordered; 100,000 recipients are left out there, as they
//    take minutes).
// Prints each time and the ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <list>
#include <map>
#include <string>

#include "intake.h"
#include "ringwell/common/files.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"
#include "scheduler_state.h"

namespace {

using namespace ringwell;
using namespace ringwell::dialqueue;

constexpr int kSizes[] = {1000, 10000, 100000};

std::string Directory() {
  static const std::string dir = [] {
    std::string path = TempDirectory() + "ringwell-bench-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) std::abort();
    return path + "/";
  }();
  return dir;
}

const std::string& RequestFile(int recipients) {
  static std::map<int, std::string> files;
  auto [it, made] = files.try_emplace(recipients);
  if (made) {
    std::string xml =
        "<Request xmlns=\"urn:schemas-microsoft-com:xml-data\" "
        "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"{6B29FC40-CA47-1067-B31D-"
        "00DD010662DA}\" UserID=\"{0}\" Type=\"Call\"><StartTime dt:dt=\"dateTime\">"
        "2024-03-01T10:00:00</StartTime><StopTime dt:dt=\"dateTime\">2024-03-02T10:00:00"
        "</StopTime><Recipients>";
    for (int i = 0; i < recipients; ++i) {
      xml += "<Recipient dt:dt=\"string\" Type=\"PhoneNumber\">+4930" +
             std::to_string(5550000 + i) + "</Recipient>";
    }
    xml +=
        "</Recipients><NumberOfRings dt:dt=\"int\">7</NumberOfRings><NumberOfAttemptsIfBusy "
        "dt:dt=\"int\">3</NumberOfAttemptsIfBusy><DelayIfBusy dt:dt=\"int\">10</DelayIfBusy>"
        "<CallTree><Message Replays=\"0\" Timeout=\"2\"/><Responses/></CallTree></Request>";
    it->second = Directory() + std::to_string(recipients) + ".xml";
    if (Failed(WriteFileAtomically(it->second, xml))) std::abort();
  }
  return it->second;
}

void BM_Intake(benchmark::State& state) {
  const std::string& path = RequestFile(static_cast<int>(state.range(0)));
  SchedulerState scheduler;
  for (auto _ : state) {
    benchmark::DoNotOptimize(QueueRequestFile(path, scheduler));
    state.PauseTiming();
    if (scheduler.dial_queue().Size() != static_cast<std::size_t>(state.range(0))) std::abort();
    scheduler.dial_queue().Clear();
    state.ResumeTiming();
  }
}

void BM_ParseOnly(benchmark::State& state) {
  const std::string& path = RequestFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    xml::Document document;
    document.Load(path);
    std::size_t count = 0;
    for (pugi::xml_node recipient :
         xml::ChildElement(document.FirstChild(), "Recipients").children()) {
      const std::string text = xml::Text(recipient);
      count += !Trim(text).empty();
    }
    benchmark::DoNotOptimize(count);
  }
}

// The plain list: walks from the front to insert, walks the list for an ID.
struct ListQueue {
  std::list<CQueueEntry> entries;
  void Push(const CQueueEntry& entry) {
    auto it = entries.begin();
    while (it != entries.end() && LinearDate(it->NextTime) <= LinearDate(entry.NextTime)) ++it;
    entries.insert(it, entry);
  }
  bool ContainsId(std::string_view id) const {
    for (const CQueueEntry& entry : entries) {
      if (EqualsIgnoringCase(entry.Id, id)) return true;
    }
    return false;
  }
};

void BM_ListQueue(benchmark::State& state) {
  const std::string& path = RequestFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    ListQueue queue;
    xml::Document document;
    document.Load(path);
    const pugi::xml_node request = document.FirstChild();
    CQueueEntry model;
    model.Id = request.attribute("ID").value();
    model.RequestFile = path;
    model.NextTime = xml::TypedDate(xml::ChildElement(request, "StartTime")).value_or(kInvalidDate);
    model.StopTime = xml::TypedDate(xml::ChildElement(request, "StopTime")).value_or(kInvalidDate);
    if (queue.ContainsId(model.Id)) std::abort();
    for (pugi::xml_node recipient : xml::ChildElement(request, "Recipients").children()) {
      const std::string text = xml::Text(recipient);
      CQueueEntry entry = model;
      entry.PhoneNumber = Trim(text);
      queue.Push(entry);
    }
    benchmark::DoNotOptimize(queue.entries.size());
  }
}

BENCHMARK(BM_Intake)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseOnly)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListQueue)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);

// Keeps each run's time (ms) by name, besides printing it.
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      times[run.benchmark_name()] = run.GetAdjustedRealTime();  // in the run's unit (ms)
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  std::printf("\nIntake of one request (ms; ratios: intake / parse only, list queue / intake)\n");
  std::printf("%12s %12s %12s %14s %10s %12s\n", "recipients", "intake", "parse only", "list queue",
              "vs parse", "list/intake");
  for (int size : kSizes) {
    const std::string n = std::to_string(size);
    const double intake = recorder.times["BM_Intake/" + n];
    const double parse = recorder.times["BM_ParseOnly/" + n];
    const auto list = recorder.times.find("BM_ListQueue/" + n + "/iterations:3");
    if (list != recorder.times.end()) {
      std::printf("%12d %12.2f %12.2f %14.2f %9.2fx %11.1fx\n", size, intake, parse, list->second,
                  intake / parse, list->second / intake);
    } else {
      std::printf("%12d %12.2f %12.2f %14s %9.2fx %12s\n", size, intake, parse, "-", intake / parse,
                  "-");
    }
  }
  std::filesystem::remove_all(Directory());
  benchmark::Shutdown();
  return 0;
}
