// Answering-machine detection: who picked up, told from the callee's audio
// in the first seconds of the call. The audio is cut into 20 ms frames; voice
// activity (voice_activity.h) groups the frames into words, a tone detector
// (tone_detector.h) hears beeps and fax tones. Counting from the first frame:
//
//   - a beep, or a fax answer tone                          -> Machine
//   - maximumNumberOfWords words                            -> Machine
//   - speech adding up to `greeting` seconds, or one word
//     lasting maximumWordLength                             -> Machine
//   - at least one word, then afterGreetingSilence of quiet -> Human
//   - a key pressed by the callee                           -> Human
//   - no word within initialSilence                         -> Unknown
//   - nothing of the above within totalAnalysisTime         -> Unknown
//
// The first that holds decides. After a machine was decided the detector goes
// on listening for the end of its greeting: the end of its beep, or, when no
// beep comes, greetingEndSilence of quiet after its speech.
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

  explicit AnswerDetector(const MachineDetection& settings);

  // Feeds the callee's audio (8 kHz), in pieces of any length.
  void Feed(std::span<const std::int16_t> samples);
  // The callee pressed `key`: a person, unless decided already.
  void KeyPressed(const std::string& key);

  // The decision, once made (`heard` is filled by Result()).
  const std::optional<WhoAnswered>& decision() const { return decision_; }
  // Whether the greeting is over: when the decision was made for a person or
  // for Unknown; for a machine, once its beep or its greeting has ended.
  bool GreetingOver() const;
  // Seconds of audio fed.
  double seconds() const { return double(frames_) * kFrameSeconds; }
  // The decision with what was heard so far; "Unknown" when none was made.
  WhoAnswered Result() const;

 private:
  void Analyse(std::span<const std::int16_t> frame);
  void Decide(AnsweredBy who, std::string reason);

  const MachineDetection settings_;
  VoiceActivity voice_;
  ToneDetector tones_;
  std::vector<std::int16_t> pending_;  // samples short of a frame
  long frames_ = 0;

  int words_ = 0;
  bool in_word_ = false;
  double voice_run_ = 0;               // speech of the current word, with its short gaps
  double voice_total_ = 0;             // speech before the decision
  double silence_run_ = 0;             // quiet since the last speech
  std::optional<double> first_voice_;  // start of the first word
  double last_voice_ = 0;              // end of the last word
  std::optional<Beep> beep_;
  std::optional<WhoAnswered> decision_;
  bool greeting_over_ = false;
};

}  // namespace ringwell::host::amd
