// Answering-machine detection on the labelled corpus of tests/data/amd: the
// confusion table (who answered against what the detector said), the
// decision times (for persons counted from the end of their speech, which is
// how long a person waits in silence before hearing the message), when a
// voicemail's greeting was found over against where its beep ends, and how
// fast the detector runs against real time.
//
//   bench_amd [--verbose] [key=value,...]   settings as --machine-detection takes them
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "corpus.h"

namespace {

using namespace ringwell;
using namespace ringwell::host::amd::testing;

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = p / 100 * double(values.size() - 1);
  const auto low = static_cast<std::size_t>(rank);
  const std::size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (rank - double(low));
}

void PrintPercentiles(const char* what, const std::vector<double>& values) {
  if (values.empty()) return;
  std::printf("  %-44s n=%-3zu min %5.2f  p50 %5.2f  p90 %5.2f  p95 %5.2f  max %5.2f s\n", what,
              values.size(), Percentile(values, 0), Percentile(values, 50), Percentile(values, 90),
              Percentile(values, 95), Percentile(values, 100));
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  MachineDetection settings;
  for (int i = 1; i < argc; ++i) {
    std::string error;
    if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (!ApplyMachineDetection(argv[i], &settings, &error)) {
      std::fprintf(stderr, "bench_amd: %s\n", error.c_str());
      return 2;
    }
  }
  std::string error;
  const std::vector<Recording> corpus = LoadCorpus(CorpusDir(), &error);
  if (corpus.empty()) {
    std::fprintf(stderr, "bench_amd: %s\n", error.c_str());
    return 1;
  }
  const char* kWho[] = {"Human", "Machine", "Unknown"};
  std::map<std::string, std::map<std::string, int>> table;
  std::vector<double> person_after_speech, all_decisions, after_beep;
  double audio_seconds = 0;
  int correct = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const Recording& r : corpus) {
    const Classified c = Classify(r.samples, settings);
    const std::string said = host::AnsweredByWord(c.answer.who);
    ++table[r.who][said];
    correct += said == r.who;
    all_decisions.push_back(c.answer.at);
    if (r.who == "Human" && r.speech_end)
      person_after_speech.push_back(c.answer.at - *r.speech_end);
    if (r.beep_end && c.greeting_over) after_beep.push_back(*c.greeting_over - *r.beep_end);
    audio_seconds += c.greeting_over.value_or(c.answer.at);
    if (verbose || said != r.who) {
      std::printf("%s %-30s %-7s -> %-7s at %4.2f s: %s; heard %s\n", said == r.who ? "  " : "!!",
                  r.name.c_str(), r.who.c_str(), said.c_str(), c.answer.at, c.answer.reason.c_str(),
                  c.answer.heard.c_str());
    }
  }
  const double cpu =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf("Answering-machine detection, %zu recordings of tests/data/amd\n", corpus.size());
  std::printf("  %-14s %8s %8s %8s\n", "labelled \\ said", kWho[0], kWho[1], kWho[2]);
  for (const char* label : kWho) {
    std::printf("  %-14s", label);
    for (const char* said : kWho) std::printf(" %8d", table[label][said]);
    std::printf("\n");
  }
  std::printf("  correct: %d of %zu (%.1f %%)\n", correct, corpus.size(),
              100.0 * correct / double(corpus.size()));
  std::printf("Decision times\n");
  PrintPercentiles("persons, after the end of their speech", person_after_speech);
  PrintPercentiles("all, after pick-up", all_decisions);
  PrintPercentiles("machines with a beep: greeting over - beep end", after_beep);
  std::printf("Speed: %.1f s of audio in %.3f s (%.0f x real time)\n", audio_seconds, cpu,
              audio_seconds / cpu);
  return 0;
}
