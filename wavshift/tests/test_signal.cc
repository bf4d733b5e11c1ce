#include "test_signal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <numbers>
#include <optional>

#include "ringwell/testing/fixture.h"

namespace ringwell::audio::testing {

void WriteTestSignal(const std::string& path, int rate, int channels, int subtype, double seconds) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | subtype;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  const auto frames = static_cast<std::size_t>(std::lround(seconds * rate));
  std::vector<float> samples(frames * channels);
  for (std::size_t f = 0; f < frames; ++f) {
    const double value =
        kToneAmplitude * std::sin(2 * std::numbers::pi * kToneHz * static_cast<double>(f) / rate);
    for (int c = 0; c < channels; ++c) samples[f * channels + c] = static_cast<float>(value);
  }
  EXPECT_EQ(sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames)),
            static_cast<sf_count_t>(frames));
  sf_close(file);
}

std::vector<float> Decoded::Channel(int channel) const {
  std::vector<float> out;
  for (std::size_t f = 0; f < frames(); ++f) out.push_back(samples[f * channels + channel]);
  return out;
}

Decoded Decode(const std::string& path) {
  Decoded decoded;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  if (file == nullptr) return decoded;
  decoded.rate = info.samplerate;
  decoded.channels = info.channels;
  decoded.format = info.format;
  decoded.samples.resize(static_cast<std::size_t>(info.frames) * info.channels);
  decoded.samples.resize(
      static_cast<std::size_t>(sf_readf_float(file, decoded.samples.data(), info.frames)) *
      info.channels);
  sf_close(file);
  return decoded;
}

std::size_t StatedFrames(const std::string& path) {
  const std::string bytes = ringwell::testing::ReadFile(path);
  auto le = [&](std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  std::uint32_t block_align = 1;
  std::optional<std::uint32_t> fact;
  std::uint32_t data = 0;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id = bytes.substr(at, 4);
    const std::uint32_t size = le(at + 4, 4);
    if (id == "fmt ") block_align = le(at + 8 + 12, 2);
    if (id == "fact") fact = le(at + 8, 4);
    if (id == "data") data = size;
    at += 8 + size + (size & 1);
  }
  return fact ? *fact : data / block_align;
}

double AmplitudeAt(const std::vector<float>& samples, int rate, double hz) {
  double in_phase = 0;
  double quadrature = 0;
  for (std::size_t n = 0; n < samples.size(); ++n) {
    const double angle = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
    in_phase += samples[n] * std::cos(angle);
    quadrature += samples[n] * std::sin(angle);
  }
  return samples.empty() ? 0.0 : 2 * std::hypot(in_phase, quadrature) / samples.size();
}

timespec ModificationTime(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mtim;
}

void SetOldModificationTime(const std::string& path) {
  const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::vector<std::string> EntriesStartingWith(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& name : ringwell::testing::ListDir(dir)) {
    if (name.rfind(prefix, 0) == 0) found.push_back(name);
  }
  return found;
}

}  // namespace ringwell::audio::testing
