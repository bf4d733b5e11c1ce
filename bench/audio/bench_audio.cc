// Conversion against sox, side by side in one run: CWavshift::ConvertFile
// (in process, as the daemon calls it) and sox on the same input into the
// same format, alternating, several times; then the peak memory of a process
// doing nothing but that conversion (this program run with --convert) against
// sox's.
//
// Inputs: a realistic recording (44.1 kHz 16-bit stereo) of 60 s and of
// 10 minutes, and the 60 s 22.05 kHz 16-bit mono file of earlier runs.
// Prints, per case, min and median of ours and of sox and their ratios
// (below 1: ours is faster or smaller).
//
//   bench_audio             every case
//   BENCH_DIR=dir           where the files go (default: /dev/shm, else /tmp)
//   BENCH_REPS=n            repetitions of the 60 s cases (the 10-minute ones
//                           run half as often, at least 3 times)
#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/wavshift/audio_format.h"
#include "ringwell/wavshift/audio_stream.h"
#include "ringwell/wavshift/wavshift.h"
#include "side_by_side.h"

namespace {

using namespace ringwell;
namespace fs = std::filesystem;

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

void Must(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "bench_audio: %s failed\n", what.c_str());
    std::exit(1);
  }
}

// `seconds` of music-like audio: a few partials with vibrato, different in
// each channel, over a little noise.
void MakeRecording(const std::string& path, std::uint32_t rate, std::uint16_t channels,
                   double seconds) {
  const std::int32_t number = channels == 2 ? (rate == 44100 ? 35 : 23) : (rate == 44100 ? 34 : 22);
  audio::StagedWavFile file(path, rate, channels, audio::FindAudioFormat(number), 0644);
  std::mt19937 noise(7);
  std::normal_distribution<float> gauss(0.0f, 0.01f);
  std::vector<float> block(audio::kBlockFrames * channels);
  const auto total = static_cast<std::size_t>(seconds * rate);
  for (std::size_t done = 0; done < total;) {
    const std::size_t n = std::min(audio::kBlockFrames, total - done);
    for (std::size_t f = 0; f < n; ++f) {
      const double t = static_cast<double>(done + f) / rate;
      const double vibrato = 3 * std::sin(2 * std::numbers::pi * 5 * t);
      for (std::uint16_t c = 0; c < channels; ++c) {
        const double base = c == 0 ? 220.0 : 330.0;
        double v = 0;
        for (int k = 1; k <= 4; ++k) {
          v += 0.15 / k * std::sin(2 * std::numbers::pi * (base + vibrato) * k * t);
        }
        block[f * channels + c] = static_cast<float>(v) + gauss(noise);
      }
    }
    file.encoder().Write(block.data(), n);
    done += n;
  }
  file.Finish();
  file.Rename();
}

struct Case {
  std::string what;
  std::string source;
  std::int32_t format;
  std::vector<std::string> sox_output;  // sox's output options
  bool long_input;
};

void RunCase(wavshift::IWavshift* shift, const std::string& dir, const Case& c, int reps) {
  const std::string target = dir + "ours.wav";
  const std::string sox_target = dir + "sox.wav";
  std::vector<std::string> sox = {"sox", c.source};
  sox.insert(sox.end(), c.sox_output.begin(), c.sox_output.end());
  sox.push_back(sox_target);
  std::vector<double> ours_ms, sox_ms, ours_mib, sox_mib;
  for (int i = 0; i < reps; ++i) {
    fs::copy_file(c.source, target, fs::copy_options::overwrite_existing);
    ours_ms.push_back(bench::TimeMs(
        [&] { Must(Succeeded(shift->ConvertFile(target.c_str(), c.format)), "ConvertFile"); }));
    const bench::Sample theirs = bench::RunProgram(sox);
    sox_ms.push_back(theirs.ms);
    sox_mib.push_back(theirs.peak_mib);
    fs::copy_file(c.source, target, fs::copy_options::overwrite_existing);
    ours_mib.push_back(
        bench::RunProgram({"/proc/self/exe", "--convert", target, std::to_string(c.format)})
            .peak_mib);
  }
  bench::PrintComparison(c.what + " time", "ms", bench::Summarise(ours_ms),
                         bench::Summarise(sox_ms));
  bench::PrintComparison(c.what + " peak RSS", "MiB", bench::Summarise(ours_mib),
                         bench::Summarise(sox_mib));
}

// The child of the memory measurement: one conversion, nothing else.
int ConvertOnce(const char* path, const char* format) {
  ComPtr<wavshift::IWavshift> shift = LoadWavshift();
  return shift && Succeeded(shift->ConvertFile(path, std::atoi(format))) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--convert") return ConvertOnce(argv[2], argv[3]);
  const char* base = std::getenv("BENCH_DIR");
  std::string pattern =
      std::string(base ? base : (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp")) +
      "/ringwell-bench-audio-XXXXXX";
  Must(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  const std::string dir = pattern + "/";
  setenv("RINGWELL_REGISTRY", (dir + "registry.toml").c_str(), 1);
  setenv("RINGWELL_JOURNAL", "0", 1);
  const int reps =
      std::max(3, std::atoi(std::getenv("BENCH_REPS") ? std::getenv("BENCH_REPS") : "5"));

  ComPtr<wavshift::IWavshift> shift = LoadWavshift();
  Must(bool(shift), "loading libwavshift.so");
  MakeRecording(dir + "stereo-60s.wav", 44100, 2, 60);
  MakeRecording(dir + "stereo-10min.wav", 44100, 2, 600);
  MakeRecording(dir + "mono-22k-60s.wav", 22050, 1, 60);

  const std::vector<std::string> mulaw = {"-r", "8000", "-c", "1", "-e", "mu-law"};
  const std::vector<std::string> gsm = {"-r", "8000", "-c", "1", "-e", "gsm-full-rate"};
  const std::vector<std::string> adpcm = {"-r", "22050", "-c", "1", "-e", "ms-adpcm"};
  const std::vector<std::string> pcm8k = {"-r", "8000", "-c", "1",
                                          "-b", "16",   "-e", "signed-integer"};
  const std::vector<Case> cases = {
      {"60 s 44.1k stereo -> 8k mu-law", dir + "stereo-60s.wav", 49, mulaw, false},
      {"60 s 44.1k stereo -> 8k GSM 6.10", dir + "stereo-60s.wav", 65, gsm, false},
      {"60 s 44.1k stereo -> 22.05k MS ADPCM", dir + "stereo-60s.wav", 61, adpcm, false},
      {"10 min 44.1k stereo -> 8k mu-law", dir + "stereo-10min.wav", 49, mulaw, true},
      {"10 min 44.1k stereo -> 8k GSM 6.10", dir + "stereo-10min.wav", 65, gsm, true},
      {"10 min 44.1k stereo -> 22.05k MS ADPCM", dir + "stereo-10min.wav", 61, adpcm, true},
      {"60 s 22.05k mono -> 8k mu-law", dir + "mono-22k-60s.wav", 49, mulaw, false},
      {"60 s 22.05k mono -> 8k 16-bit PCM", dir + "mono-22k-60s.wav", 6, pcm8k, false},
  };
  std::printf(
      "Conversion: Wavshift (in process; peak RSS of a process doing one conversion) vs sox\n"
      "files in %s; %d runs of each 60 s case, %d of each 10 min case\n",
      dir.c_str(), reps, std::max(3, reps / 2));
  bench::PrintHeader("Wavshift", "sox");
  for (const Case& c : cases)
    RunCase(shift.Get(), dir, c, c.long_input ? std::max(3, reps / 2) : reps);
  std::printf(
      "ratio = ours / sox (below 1: ours is faster or smaller); goal: time <= 1.0, "
      "peak RSS < 32 MiB\n");
  fs::remove_all(dir);
  return 0;
}
