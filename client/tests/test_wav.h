// A small real wav file for the tests: 8 kHz, 16-bit mono, a tenth of a
// second of a tone, with `salt` changing the samples (two salts, two contents).
//
// Thread-safety: pure functions over their own files.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "ringwell/testing/fixture.h"

namespace ringwell::kel::client::testing {

inline void WriteWav(const std::string& path, int salt = 0) {
  constexpr std::uint32_t kRate = 8000;
  constexpr std::uint32_t kSamples = 800;
  auto le = [](std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  std::string wav = "RIFF";
  le(wav, 36 + kSamples * 2, 4);
  wav += "WAVEfmt ";
  le(wav, 16, 4);
  le(wav, 1, 2);  // PCM
  le(wav, 1, 2);  // mono
  le(wav, kRate, 4);
  le(wav, kRate * 2, 4);
  le(wav, 2, 2);
  le(wav, 16, 2);
  wav += "data";
  le(wav, kSamples * 2, 4);
  for (std::uint32_t i = 0; i < kSamples; ++i) {
    const double sample = 8000 * std::sin(i * (0.2 + 0.05 * salt));
    le(wav, static_cast<std::uint16_t>(static_cast<std::int16_t>(sample)), 2);
  }
  ringwell::testing::WriteFile(path, wav);
}

}  // namespace ringwell::kel::client::testing
