#include "test_signal.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>

#include "ringwell/testing/fixture.h"

namespace ringwell::audio::testing {

std::vector<float> Tone(int rate, int channels, double seconds) {
  std::vector<float> samples;
  for (long f = 0; f < std::lround(seconds * rate); ++f) {
    const double value = kToneAmplitude * std::sin(2 * std::numbers::pi * kToneHz * f / rate);
    samples.insert(samples.end(), channels, static_cast<float>(value));
  }
  return samples;
}

void WriteTestSignal(const std::string& path, int rate, int channels, int subtype, double seconds) {
  SF_INFO info{.frames = 0,
               .samplerate = rate,
               .channels = channels,
               .format = SF_FORMAT_WAV | subtype,
               .sections = 0,
               .seekable = 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  const std::vector<float> samples = Tone(rate, channels, seconds);
  const auto frames = static_cast<sf_count_t>(samples.size() / channels);
  EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
  sf_close(file);
}

double Decoded::AmplitudeAt(int channel, double hz) const {
  double in_phase = 0;
  double quadrature = 0;
  for (std::size_t n = 0; n < frames(); ++n) {
    const double angle = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
    in_phase += samples[n * channels + channel] * std::cos(angle);
    quadrature += samples[n * channels + channel] * std::sin(angle);
  }
  return frames() == 0 ? 0.0 : 2 * std::hypot(in_phase, quadrature) / frames();
}

Decoded Decode(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  if (file == nullptr) return {};
  Decoded decoded{info.samplerate, info.channels, info.format,
                  std::vector<float>(static_cast<std::size_t>(info.frames) * info.channels)};
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

}  // namespace ringwell::audio::testing
