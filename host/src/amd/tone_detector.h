// Tones in the callee's audio that tell a machine: the beep after a
// voicemail greeting (a steady tone of 0.3 to 1.5 s between 400 and 2000 Hz)
// and the answer tone of a fax machine (CED, 2100 Hz, or its V.21 preamble).
// Both come from spandsp: a bank of its Goertzel filters, 25 Hz apart, finds
// the strongest frequency of each 20 ms frame and how much of the frame's
// energy it holds; its modem connect tone receiver hears the fax.
//
// Thread-safety: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ringwell::host::amd {

struct Beep {
  double start = 0;  // seconds into the audio
  double end = 0;
  double frequency = 0;  // Hz, to the filters' 25 Hz
};

class ToneDetector {
 public:
  // Tones are looked for between these frequencies, beeps between the
  // narrower second pair.
  static constexpr double kLowest = 300, kHighest = 2200, kStep = 25;  // Hz
  static constexpr double kLowestBeep = 400, kHighestBeep = 2000;      // Hz
  static constexpr double kShortestBeep = 0.3, kLongestBeep = 1.5;     // s

  ToneDetector();
  ~ToneDetector();
  ToneDetector(const ToneDetector&) = delete;
  ToneDetector& operator=(const ToneDetector&) = delete;

  // Analyses one 20 ms frame (160 samples) of `level` dB that ends at
  // `seconds` into the audio. True when the frame is a steady single tone
  // (most of its energy at one frequency), or the frame that ends one (less
  // of it, at the tone's frequency).
  bool Frame(std::span<const std::int16_t> frame, double level, double seconds);

  // A beep that ended with the last frame, once; empty otherwise.
  std::optional<Beep> TakeBeep();
  // When a fax answer tone was first heard, if it was.
  std::optional<double> fax() const { return fax_; }

 private:
  struct Spandsp;
  static void OnModemTone(void* self, int code, int level, int delay);

  std::unique_ptr<Spandsp> spandsp_;
  double seconds_ = 0;
  // The run of tone frames going on: its start, its first frequency and
  // its last frame.
  std::optional<Beep> run_;
  std::optional<Beep> beep_;
  std::optional<double> fax_;
};

}  // namespace ringwell::host::amd
