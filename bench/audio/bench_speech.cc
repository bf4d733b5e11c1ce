// Speech against bare synthesis and against the command lines, side by side
// in one run, for texts of about 10, 100 and 1,500 words:
//
//   ours:  CSpeech::GenerateVoiceFile into 8 kHz mu-law, in process (the
//          engine's audio streamed through resampler and encoder to the file)
//   bare:  libespeak-ng alone in the same process, its audio thrown away
//          (the cost of synthesis itself: the floor for ours)
//   CLI:   espeak-ng -w followed by sox into 8 kHz mu-law, as processes
//
// Peak memory: this program run with --speak (one GenerateVoiceFile, nothing
// else) against the larger of the espeak-ng and sox processes.
//
//   BENCH_DIR=dir   where the files go (default: /dev/shm, else /tmp)
//   BENCH_REPS=n    repetitions (default 5)
#include <espeak-ng/speak_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/prepax/speech_engine.h"
#include "side_by_side.h"
#include "speech.h"

namespace {

using namespace ringwell;
namespace fs = std::filesystem;

constexpr std::int32_t kMuLaw8k = 49;
constexpr const char* kSentences[] = {
    "Good morning, this is the notification service calling about your appointment.",
    "The backup of the accounting server failed at three in the morning.",
    "Please press one to confirm, or press two to speak to an operator.",
    "The temperature in the server room has risen above thirty degrees.",
    "If you cannot attend on Tuesday at ten thirty, call us back at any time.",
};

// About `words` words of varied sentences.
std::string Text(int words) {
  std::string text;
  int count = 0;
  for (int i = 0; count < words; ++i) {
    const std::string sentence = kSentences[i % 5];
    text += (text.empty() ? "" : " ") + sentence;
    count += static_cast<int>(std::count(sentence.begin(), sentence.end(), ' ')) + 1;
  }
  return text;
}

void Must(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "bench_speech: %s failed\n", what.c_str());
    std::exit(1);
  }
}

int Discard(short*, int, espeak_EVENT*) { return 0; }

void BareSynthesis(const std::string& text) {
  espeak_SetSynthCallback(&Discard);
  Must(espeak_SetVoiceByName(prepax::kDefaultVoice) == EE_OK, "setting the voice");
  Must(espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                    nullptr) == EE_OK,
       "espeak_Synth");
}

ComPtr<prepax::ISpeech> MakeSpeech() {
  ComPtr<prepax::ISpeech> speech = MakeComObject<prepax::CSpeech>();
  speech->Initialize();
  return speech;
}

int SpeakOnce(const char* words, const char* path) {
  return Succeeded(MakeSpeech()->GenerateVoiceFile(Text(std::atoi(words)).c_str(), path, nullptr,
                                                   -1, -1000))
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* base = std::getenv("BENCH_DIR");
  std::string pattern =
      std::string(base ? base : (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp")) +
      "/ringwell-bench-speech-XXXXXX";
  if (argc != 4 || std::string(argv[1]) != "--speak") {
    Must(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    setenv("RINGWELL_REGISTRY", (pattern + "/registry.toml").c_str(), 1);
  }
  setenv("RINGWELL_JOURNAL", "0", 1);
  if (argc == 4 && std::string(argv[1]) == "--speak") return SpeakOnce(argv[2], argv[3]);
  const std::string dir = pattern + "/";
  registry::Key key;
  Must(Succeeded(registry::Key::Create(kConfigKey, &key)) &&
           Succeeded(key.SetDword(kAudioFormatValue, kMuLaw8k)),
       "registry");
  const int reps =
      std::max(3, std::atoi(std::getenv("BENCH_REPS") ? std::getenv("BENCH_REPS") : "5"));

  ComPtr<prepax::ISpeech> speech = MakeSpeech();
  Must(Succeeded(prepax::InitializeEngine()), "espeak-ng");
  std::printf(
      "Speech into 8 kHz mu-law: GenerateVoiceFile in process vs bare libespeak-ng "
      "synthesis and vs espeak-ng + sox; %d runs each\n",
      reps);
  bench::PrintHeader("ours", "theirs");
  for (const int words : {10, 100, 1500}) {
    const std::string text = Text(words);
    const std::string out = dir + "ours.wav";
    std::vector<double> ours_ms, bare_ms, cli_ms, ours_mib, cli_mib;
    for (int i = 0; i < reps; ++i) {
      ours_ms.push_back(bench::TimeMs([&] {
        Must(Succeeded(speech->GenerateVoiceFile(text.c_str(), out.c_str(), nullptr, -1, -1000)),
             "GenerateVoiceFile");
      }));
      bare_ms.push_back(bench::TimeMs([&] { BareSynthesis(text); }));
      const bench::Sample espeak = bench::RunProgram({"espeak-ng", "-w", dir + "cli.wav", text});
      const bench::Sample sox = bench::RunProgram(
          {"sox", dir + "cli.wav", "-r", "8000", "-c", "1", "-e", "mu-law", dir + "cli-8k.wav"});
      cli_ms.push_back(espeak.ms + sox.ms);
      cli_mib.push_back(std::max(espeak.peak_mib, sox.peak_mib));
      ours_mib.push_back(
          bench::RunProgram({"/proc/self/exe", "--speak", std::to_string(words), out}).peak_mib);
    }
    const std::string what = std::to_string(words) + " words";
    bench::PrintComparison(what + " vs bare synthesis", "ms", bench::Summarise(ours_ms),
                           bench::Summarise(bare_ms));
    bench::PrintComparison(what + " vs espeak-ng + sox", "ms", bench::Summarise(ours_ms),
                           bench::Summarise(cli_ms));
    bench::PrintComparison(what + " peak RSS vs espeak-ng/sox", "MiB", bench::Summarise(ours_mib),
                           bench::Summarise(cli_mib));
  }
  std::printf(
      "ratio = ours / theirs (below 1: ours is faster or smaller); goal: <= 1.3 against "
      "bare synthesis\n");
  fs::remove_all(dir);
  return 0;
}
