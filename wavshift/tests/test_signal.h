// Test helpers for audio: the test signal, and what libsndfile reads back.
//
// Thread-safety: pure functions over their own files.
#pragma once

#include <string>
#include <vector>

namespace ringwell::audio::testing {

// The test signal: a 440 Hz sine of amplitude 0.5 in every channel.
inline constexpr double kToneHz = 440.0;
inline constexpr double kToneAmplitude = 0.5;

// `seconds` of the test signal, interleaved.
std::vector<float> Tone(int rate, int channels, double seconds);
// Writes the test signal to `path` as a wav file with libsndfile (`subtype`
// is an SF_FORMAT_* subtype such as SF_FORMAT_PCM_16).
void WriteTestSignal(const std::string& path, int rate, int channels, int subtype, double seconds);

struct Decoded {
  int rate = 0;
  int channels = 0;
  int format = 0;              // SF_FORMAT_WAV | subtype, as libsndfile reports it
  std::vector<float> samples;  // interleaved
  std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
  // The amplitude of the `hz` component of `channel` (a sine of amplitude a
  // at exactly that frequency gives about a).
  double AmplitudeAt(int channel, double hz) const;
};
// Reads `path` with libsndfile; fails the test when it cannot.
Decoded Decode(const std::string& path);

// The number of frames a wav file states it holds: its fact chunk's count
// when it has one, else the size of its data chunk over the block align.
// (libsndfile reports one block more for GSM 6.10 files with an odd number of
// blocks: it counts the data chunk's pad byte as the start of a block.)
std::size_t StatedFrames(const std::string& path);

}  // namespace ringwell::audio::testing
