// Voice activity in the callee's audio, one 20 ms frame (160 samples at
// 8 kHz) at a time: a frame holds voice when its level stands well above the
// line's noise floor and above an absolute floor. The noise floor adapts: it
// is the quietest frame of the last few seconds, so a steady hiss or hum on
// the line soon counts as silence, while speech, whose pauses between
// syllables and words keep the floor down, does not.
//
// Thread-safety: one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ringwell::host::amd {

inline constexpr int kSampleRate = 8000;
inline constexpr std::size_t kFrameSamples = 160;
inline constexpr double kFrameSeconds = double(kFrameSamples) / kSampleRate;

// The level of `frame` in dB below full scale (-96 for digital silence).
double FrameLevel(std::span<const std::int16_t> frame);

// How periodic `frame` is at a voice's pitch (80 to 400 Hz): the highest
// normalised autocorrelation over those periods, 0 to 1. A voiced sound
// (a vowel, a hummed "mm") gives 0.5 or more; hiss and clicks much less.
double Voicing(std::span<const std::int16_t> frame);

class VoiceActivity {
 public:
  // Voice needs this many dB above the noise floor, and this absolute level.
  static constexpr double kAboveFloor = 10;
  static constexpr double kMinimumLevel = -50;
  // The noise floor is the quietest frame of this many seconds.
  static constexpr double kFloorSeconds = 3;

  VoiceActivity();

  // Classifies one frame of `level` dB (FrameLevel); true when it holds voice.
  bool Frame(double level);
  double floor() const { return floor_; }

 private:
  static constexpr std::size_t kFloorFrames = std::size_t(kFloorSeconds / kFrameSeconds);
  std::array<double, kFloorFrames> recent_{};  // levels of the last frames, a ring
  std::size_t count_ = 0;                      // frames seen
  double floor_ = -96;
};

}  // namespace ringwell::host::amd
