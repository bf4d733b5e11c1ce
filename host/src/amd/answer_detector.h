// Answering-machine detection: who picked up, told from the callee's audio
// in the first seconds of the call. The audio is cut into 20 ms frames; voice
// activity (voice_activity.h) groups the frames into words, a tone detector
// (tone_detector.h) hears beeps and fax tones. Counting from the first frame:
//
//   - a beep (a pure tone followed by quiet: tone_detector.h),
//     or a fax answer tone                                  -> Machine
//   - maximumNumberOfWords words                            -> Machine
//   - speech adding up to `greeting` seconds, or one word
//     lasting maximumWordLength                             -> Machine
//   - at least one word, then afterGreetingSilence of quiet -> Human
//   - a key pressed by the callee                           -> Human
//   - no word within initialSilence                         -> Unknown
//   - nothing of the above within totalAnalysisTime         -> Unknown
//
// A word is minimumWordLength of voice; a short loud voiced sound (a quick
// "Hello" of 0.25 s) makes one at half that length. The first that holds
// decides; no person is decided while a tone that may be a beep goes on.
//
// After a machine was decided the detector goes on listening for the end of
// its greeting: its beep and the quiet after it, or, when no beep comes,
// kGreetingEndSilence of quiet after its speech. The greeting is then over
// and a message may start; but the detector keeps listening, and when the
// callee speaks again (what ended the greeting was not its end), the
// greeting is no longer over until it ends again the same way. Speech far
// quieter than the greeting's loudest (an echo of the message) does not
// count.
//
// Thread-safety: one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "amd/tone_detector.h"
#include "amd/voice_activity.h"
#include "amd/who_answered.h"
#include "ringwell/common/machine_detection.h"

namespace ringwell::host::amd {

class AnswerDetector {
 public:
  // Quiet after a machine's speech that ends its greeting when no beep came.
  static constexpr double kGreetingEndSilence = 1.2;
  // Quiet right after a tone that makes it a beep.
  static constexpr double kQuietAfterBeep = 0.1;
  // Voice after the end of a greeting that says the greeting goes on, and
  // how far below the greeting's loudest speech it may be (an echo of the
  // message coming back from the line is further below).
  static constexpr double kResumingVoice = 0.04;
  static constexpr double kResumingBelowLoudest = 20;  // dB

  explicit AnswerDetector(const MachineDetection& settings);

  // Feeds the callee's audio (8 kHz), in pieces of any length.
  void Feed(std::span<const std::int16_t> samples);
  // The callee pressed `key`: a person, unless decided already.
  void KeyPressed(const std::string& key);

  // The decision, once made (`heard` is filled by Result()).
  const std::optional<WhoAnswered>& decision() const { return decision_; }
  // Whether the greeting is over: when the decision was made for a person or
  // for Unknown; for a machine, once its beep or its greeting has ended, and
  // until the callee speaks again.
  bool GreetingOver() const;
  // What ended the greeting, while it is over: "after beep at 9.3 s" or
  // "after 1.2 s of silence" (a machine), empty for a person or Unknown.
  const std::string& GreetingEnd() const { return greeting_end_; }
  // When the callee last spoke again after the greeting seemed over.
  std::optional<double> resumed() const { return resumed_; }
  // Seconds of audio fed.
  double seconds() const { return double(frames_) * kFrameSeconds; }
  // The decision with what was heard so far; "Unknown" when none was made.
  WhoAnswered Result() const;

 private:
  void Analyse(std::span<const std::int16_t> frame);
  void Decide(AnsweredBy who, std::string reason);
  // Follows a machine's greeting after the decision with a frame of
  // `level` dB; `beep` when a beep was heard with this frame.
  void FollowGreeting(bool voice, double level, bool beep);

  const MachineDetection settings_;
  VoiceActivity voice_;
  ToneDetector tones_;
  std::vector<std::int16_t> pending_;  // samples short of a frame
  long frames_ = 0;

  int words_ = 0;
  bool in_word_ = false;
  double voice_run_ = 0;               // speech of the current word, with its short gaps
  double strong_run_ = 0;              // loud voiced frames of it
  double voice_total_ = 0;             // speech before the decision
  double silence_run_ = 0;             // quiet since the last speech
  std::optional<double> first_voice_;  // start of the first word
  double last_voice_ = 0;              // end of the last word
  double loudest_ = -96;               // the loudest frame of speech
  std::optional<Beep> candidate_;      // a tone that is a beep if quiet follows
  double quiet_after_ = 0;             // quiet after it so far
  std::optional<Beep> beep_;           // the last beep
  std::optional<WhoAnswered> decision_;
  bool greeting_over_ = false;
  std::string greeting_end_;
  double resuming_ = 0;  // voice since the greeting seemed over
  std::optional<double> resumed_;
};

}  // namespace ringwell::host::amd
