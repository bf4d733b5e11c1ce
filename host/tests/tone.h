// The host's tests' wav files: a steady tone, 8 kHz mono 16-bit PCM.
//
// Thread-safety: a pure function over files.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

namespace ringwell::host {

inline void WriteTone(const std::string& path, int frames) {
  SF_INFO info{.frames = 0,
               .samplerate = 8000,
               .channels = 1,
               .format = SF_FORMAT_WAV | SF_FORMAT_PCM_16,
               .sections = 0,
               .seekable = 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << path;
  std::vector<short> samples(static_cast<std::size_t>(frames), 1000);
  sf_writef_short(file, samples.data(), frames);
  sf_close(file);
}

}  // namespace ringwell::host
