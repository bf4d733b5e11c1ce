// Answering-machine detection on the labelled corpora of tests/data/amd (the
// espeak-ng corpus and the real-voice corpus in real/): for each, the
// confusion table (who answered against what the detector said), the
// decision times (for persons counted from the end of their speech, which is
// how long a person waits in silence before hearing the message), for each
// voicemail where a message left on it started against its beep (or, with
// no beep, the start of the silence after its greeting) and every start
// that speech resumed after, and how fast the detector runs against real
// time.
//
//   bench_amd [--verbose] [--corpus=DIR] [key=value,...]
//
// Settings as --machine-detection takes them; without --corpus both corpora.
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
  std::printf("  %-46s n=%-3zu min %5.2f  p50 %5.2f  p90 %5.2f  max %5.2f s\n", what, values.size(),
              Percentile(values, 0), Percentile(values, 50), Percentile(values, 90),
              Percentile(values, 100));
}

// Runs the detector over the corpus in `dir`; false when it cannot be read.
bool Bench(const std::string& title, const std::string& dir, const MachineDetection& settings,
           bool verbose) {
  std::string error;
  const std::vector<Recording> corpus = LoadCorpus(dir, &error);
  if (corpus.empty()) {
    std::fprintf(stderr, "bench_amd: %s\n", error.c_str());
    return false;
  }
  const char* kWho[] = {"Human", "Machine", "Unknown"};
  std::map<std::string, std::map<std::string, int>> table;
  std::vector<double> person_after_speech, all_decisions, after_end;
  std::vector<std::string> starts;
  double audio_seconds = 0;
  int correct = 0, early = 0, interrupted = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const Recording& r : corpus) {
    const Classified c = Classify(r.samples, settings);
    const std::string said = host::AnsweredByWord(c.answer.who);
    ++table[r.who][said];
    correct += said == r.who;
    all_decisions.push_back(c.answer.at);
    if (r.who == "Human" && r.speech_end) {
      person_after_speech.push_back(c.answer.at - *r.speech_end);
    }
    audio_seconds += c.starts.empty() ? c.answer.at : c.starts.back().at;
    if (verbose || said != r.who) {
      std::printf("%s %-36s %-7s -> %-7s at %4.2f s: %s; heard %s\n", said == r.who ? "  " : "!!",
                  r.name.c_str(), r.who.c_str(), said.c_str(), c.answer.at, c.answer.reason.c_str(),
                  c.answer.heard.c_str());
    }
    if (r.who != "Machine" || (!r.beep_end && !r.speech_end)) continue;
    // Where the greeting really ends: the beep's end, or the last speech.
    const double end = r.beep_end ? *r.beep_end : *r.speech_end;
    char line[512];
    std::snprintf(line, sizeof line, "  %-36s %-6s %5.2f s:", r.name.c_str(),
                  r.beep_end ? "beep" : "speech", end);
    std::string text = line;
    if (c.starts.empty()) text += " no message started";
    for (const MessageStart& s : c.starts) {
      std::snprintf(line, sizeof line, " started %+.2f s (%s)", s.at - end, s.after.c_str());
      text += line;
      if (s.stopped) {
        std::snprintf(line, sizeof line, ", stopped: speech resumed at %.2f s;", *s.stopped);
        text += line;
        ++interrupted;
      }
      early += s.at < end - 0.25;
    }
    if (c.greeting_over) after_end.push_back(*c.greeting_over - end);
    starts.push_back(text);
  }
  const double cpu =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf("Answering-machine detection, %s: %zu recordings of %s\n", title.c_str(),
              corpus.size(), dir.c_str());
  std::printf("  %-16s %8s %8s %8s\n", "labelled \\ said", kWho[0], kWho[1], kWho[2]);
  for (const char* label : kWho) {
    std::printf("  %-16s", label);
    for (const char* said : kWho) std::printf(" %8d", table[label][said]);
    std::printf("\n");
  }
  std::printf("  correct: %d of %zu (%.1f %%), persons taken for machines: %d\n", correct,
              corpus.size(), 100.0 * correct / double(corpus.size()), table["Human"]["Machine"]);
  std::printf("Decision times\n");
  PrintPercentiles("persons, after the end of their speech", person_after_speech);
  PrintPercentiles("all, after pick-up", all_decisions);
  PrintPercentiles("voicemails: message start - end of greeting", after_end);
  std::printf(
      "Message starts on voicemails (relative to the beep's end, or to the end of\n"
      "the last speech without a beep; a message plays 3 s)\n");
  for (const std::string& line : starts) std::printf("%s\n", line.c_str());
  std::printf("  starts more than 0.25 s early: %d; stopped because speech resumed: %d\n", early,
              interrupted);
  std::printf("Speed: %.1f s of audio in %.3f s (%.0f x real time)\n\n", audio_seconds, cpu,
              audio_seconds / cpu);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  std::string dir;
  MachineDetection settings;
  for (int i = 1; i < argc; ++i) {
    std::string error;
    if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (std::strncmp(argv[i], "--corpus=", 9) == 0) {
      dir = argv[i] + 9;
    } else if (!ApplyMachineDetection(argv[i], &settings, &error)) {
      std::fprintf(stderr, "bench_amd: %s\n", error.c_str());
      return 2;
    }
  }
  if (!dir.empty()) return Bench("corpus", dir, settings, verbose) ? 0 : 1;
  const bool espeak = Bench("espeak-ng voices", CorpusDir(), settings, verbose);
  const bool real = Bench("real voices", CorpusDir() + "/real", settings, verbose);
  return espeak && real ? 0 : 1;
}
