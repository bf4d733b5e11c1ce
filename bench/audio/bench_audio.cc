// Speech and conversion against the tools a user would pick instead, measured
// side by side in one run (wall-clock time, the tools run as processes):
//
//   speech:  CSpeech::GenerateVoiceFile into 8 kHz mu-law
//            vs  espeak-ng -w (same text) followed by sox to 8 kHz mu-law
//   convert: CWavshift::ConvertFile of a 60-second 22.05 kHz 16-bit mono file
//            into 8 kHz mu-law and into 8 kHz 16-bit PCM
//            vs  sox into the same formats
//
// Prints Google Benchmark's table, then the ratios (ours / theirs; below 1
// means ours is faster).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numbers>
#include <string>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/wavshift/audio_file.h"
#include "ringwell/wavshift/audio_format.h"
#include "ringwell/wavshift/wavshift.h"
#include "speech.h"

namespace {

using namespace ringwell;
namespace fs = std::filesystem;

constexpr char kText[] =
    "Good morning. This is the notification service calling about your appointment on Tuesday "
    "at ten thirty. Please press one to confirm, or press two to speak to an operator.";
constexpr std::int32_t kMuLaw8k = 49;
constexpr std::int32_t kPcm16_8k = 6;

std::string g_dir;  // scratch directory of the run

void RunOrFail(benchmark::State& state, const std::string& command) {
  if (std::system(command.c_str()) != 0) state.SkipWithError(("failed: " + command).c_str());
}

void Speech_GenerateVoiceFile(benchmark::State& state) {
  ComPtr<prepax::ISpeech> speech = MakeComObject<prepax::CSpeech>();
  speech->Initialize();
  const std::string out = g_dir + "speech.wav";
  for (auto _ : state) {
    if (Failed(speech->GenerateVoiceFile(kText, out.c_str(), nullptr, -1, -1000))) {
      state.SkipWithError("GenerateVoiceFile failed");
    }
  }
}

void Speech_EspeakCliPlusSox(benchmark::State& state) {
  const std::string raw = g_dir + "espeak.wav";
  const std::string out = g_dir + "espeak-8k.wav";
  const std::string command =
      "espeak-ng -w " + raw + " '" + kText + "' && sox " + raw + " -r 8000 -c 1 -e mu-law " + out;
  for (auto _ : state) RunOrFail(state, command);
}

ComPtr<wavshift::IWavshift> LoadWavshift() {
  const std::string library = std::string(RINGWELL_BUILD_DIR) + "/lib/libwavshift.so";
  void* handle = dlopen(library.c_str(), RTLD_NOW);
  if (handle == nullptr) return nullptr;
  auto get = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
  ComPtr<IClassFactory> factory;
  ComPtr<wavshift::IWavshift> shift;
  if (get == nullptr ||
      Failed(get(&wavshift::kWavshiftClsid, &IClassFactory::kIid, factory.PutVoid())) ||
      Failed(factory->CreateInstance(nullptr, wavshift::IWavshift::kIid, shift.PutVoid()))) {
    return nullptr;
  }
  return shift;
}

void Convert_Wavshift(benchmark::State& state) {
  static ComPtr<wavshift::IWavshift> shift = LoadWavshift();
  if (!shift) {
    state.SkipWithError("libwavshift.so cannot be loaded");
    return;
  }
  const auto format = static_cast<std::int32_t>(state.range(0));
  const std::string source = g_dir + "source.wav";
  const std::string target = g_dir + "convert.wav";
  for (auto _ : state) {
    state.PauseTiming();
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    state.ResumeTiming();
    if (Failed(shift->ConvertFile(target.c_str(), format)))
      state.SkipWithError("ConvertFile failed");
  }
}

void Convert_Sox(benchmark::State& state) {
  const std::string encoding = state.range(0) == kMuLaw8k ? "-e mu-law" : "-b 16 -e signed-integer";
  const std::string command =
      "sox " + g_dir + "source.wav -r 8000 -c 1 " + encoding + " " + g_dir + "sox.wav";
  for (auto _ : state) RunOrFail(state, command);
}

BENCHMARK(Speech_GenerateVoiceFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Speech_EspeakCliPlusSox)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Convert_Wavshift)
    ->Arg(kMuLaw8k)
    ->Arg(kPcm16_8k)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Convert_Sox)->Arg(kMuLaw8k)->Arg(kPcm16_8k)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps each run's time per iteration (in milliseconds) by its name.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }
  void PrintRatio(const std::string& what, const std::string& ours, const std::string& theirs) {
    if (!times_.count(ours) || !times_.count(theirs)) return;
    std::printf("  %-44s %8.2f ms vs %8.2f ms   ratio %.2f\n", what.c_str(), times_[ours],
                times_[theirs], times_[ours] / times_[theirs]);
  }

 private:
  std::map<std::string, double> times_;
};

void MakeSource() {
  // 60 seconds of 22.05 kHz 16-bit mono: a chord with a slow sweep.
  audio::AudioBuffer audio{22050, 1, {}};
  for (std::size_t i = 0; i < 60u * 22050u; ++i) {
    const double t = static_cast<double>(i) / 22050.0;
    audio.samples.push_back(
        static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * t) +
                           0.2 * std::sin(2 * std::numbers::pi * (300 + 20 * t) * t)));
  }
  audio::WriteNewWavFile(g_dir + "source.wav", audio, audio::FindAudioFormat(22), 0644);
}

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/ringwell-bench-audio-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  g_dir = std::string(pattern) + "/";
  setenv("RINGWELL_REGISTRY", (g_dir + "registry.toml").c_str(), 1);
  setenv("RINGWELL_JOURNAL", "0", 1);
  setenv("TMPDIR", g_dir.c_str(), 1);
  registry::Key key;
  if (Failed(registry::Key::Create(kConfigKey, &key)) ||
      Failed(key.SetDword(kAudioFormatValue, kMuLaw8k))) {
    return 1;
  }
  MakeSource();

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nRatios (ours / theirs, below 1: ours is faster)\n");
  reporter.PrintRatio("speech to 8 kHz mu-law vs espeak-ng + sox",
                      "Speech_GenerateVoiceFile/real_time", "Speech_EspeakCliPlusSox/real_time");
  reporter.PrintRatio("60 s 22.05 kHz -> 8 kHz mu-law vs sox", "Convert_Wavshift/49/real_time",
                      "Convert_Sox/49/real_time");
  reporter.PrintRatio("60 s 22.05 kHz -> 8 kHz 16-bit PCM vs sox", "Convert_Wavshift/6/real_time",
                      "Convert_Sox/6/real_time");
  benchmark::Shutdown();
  fs::remove_all(g_dir);
  return 0;
}
