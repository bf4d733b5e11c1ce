// Tones in the callee's audio that tell a machine: the beep after a
// voicemail greeting and the answer tone of a fax machine (CED, 2100 Hz, or
// its V.21 preamble).
//
// A beep is a pure tone: one frequency between 400 and 2000 Hz holding
// nearly all of the audio's energy, held within a few Hz for its whole
// length of 0.3 to 1.5 s, at a steady level, with no harmonic series beside
// it. That is what tells it from a voiced vowel, sung or drawn out, whose
// energy sits at several multiples of its pitch (f, 2f, 3f...) and whose
// pitch and level wander. Each 20 ms frame is looked at over the last 40 ms:
// a bank of spandsp's Goertzel filters, 25 Hz apart, finds the strongest
// frequency, finer filters around it find it to the Hz, and filters at
// twice, three times and half that frequency look for harmonics. Whether
// the line goes quiet after the tone is for the caller to judge (a beep is
// followed by quiet, a vowel by more speech). spandsp's modem connect tone
// receiver hears the fax.
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
  double start = 0;      // seconds into the audio
  double end = 0;        // the end of its last frame
  double frequency = 0;  // Hz
};

class ToneDetector {
 public:
  // Tones are looked for between these frequencies, beeps between the
  // narrower second pair.
  static constexpr double kLowest = 300, kHighest = 2200, kStep = 25;  // Hz
  static constexpr double kLowestBeep = 400, kHighestBeep = 2000;      // Hz
  static constexpr double kShortestBeep = 0.3, kLongestBeep = 1.5;     // s
  // A beep's frequency stays within this much of its mean, its level within
  // this much of its median.
  static constexpr double kBeepDrift = 6;     // Hz
  static constexpr double kLevelDrift = 4.5;  // dB

  ToneDetector();
  ~ToneDetector();
  ToneDetector(const ToneDetector&) = delete;
  ToneDetector& operator=(const ToneDetector&) = delete;

  // Analyses one 20 ms frame (160 samples) of `level` dB that ends at
  // `seconds` into the audio. True when the frame is part of a pure tone
  // (the frames of a tone's start and end too, which hold it only in part).
  bool Frame(std::span<const std::int16_t> frame, double level, double seconds);

  // A tone of a beep's frequency, length and steadiness that ended with the
  // last frame, once; empty otherwise.
  std::optional<Beep> TakeBeep();
  // Whether a tone is going on (it may turn out a beep when it ends).
  bool InTone() const { return !run_.empty(); }
  // When a fax answer tone was first heard, if it was.
  std::optional<double> fax() const { return fax_; }

 private:
  struct Spandsp;
  struct ToneFrame {
    double end = 0;
    double frequency = 0;
    double level = 0;
  };
  static void OnModemTone(void* self, int code, int level, int delay);
  // The frequency of the pure tone that `window` holds, or 0.
  double PureTone(std::span<const std::int16_t> window, double level) const;
  // Ends the run of tone frames: a beep when it is one.
  void EndRun();

  std::unique_ptr<Spandsp> spandsp_;
  double seconds_ = 0;
  std::vector<std::int16_t> window_;  // the last two frames
  std::vector<ToneFrame> run_;        // the tone frames going on
  std::optional<Beep> beep_;
  std::optional<double> fax_;
};

}  // namespace ringwell::host::amd
