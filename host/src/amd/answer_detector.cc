#include "amd/answer_detector.h"

#include <algorithm>
#include <cstdio>

namespace ringwell::host::amd {
namespace {

// Frame times add up in steps of 20 ms; comparisons allow for rounding.
constexpr double kSlack = 1e-6;
// A loud voiced frame: this far above the noise floor, this loud, and this
// periodic (Voicing).
constexpr double kStrongAboveFloor = 20;
constexpr double kStrongLevel = -35;
constexpr double kVoiced = 0.5;

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

std::string Words(int count) { return std::to_string(count) + (count == 1 ? " word" : " words"); }

}  // namespace

AnswerDetector::AnswerDetector(const MachineDetection& settings) : settings_(settings) {}

void AnswerDetector::Feed(std::span<const std::int16_t> samples) {
  if (!pending_.empty()) {
    const std::size_t take = std::min(samples.size(), kFrameSamples - pending_.size());
    pending_.insert(pending_.end(), samples.begin(), samples.begin() + long(take));
    samples = samples.subspan(take);
    if (pending_.size() < kFrameSamples) return;
    Analyse(pending_);
    pending_.clear();
  }
  while (samples.size() >= kFrameSamples) {
    Analyse(samples.first(kFrameSamples));
    samples = samples.subspan(kFrameSamples);
  }
  pending_.assign(samples.begin(), samples.end());
}

void AnswerDetector::KeyPressed(const std::string& key) {
  if (greeting_over_ && decision_ && decision_->who == AnsweredBy::kHuman) return;
  Decide(AnsweredBy::kHuman, "key " + key + " pressed");
}

bool AnswerDetector::GreetingOver() const { return greeting_over_; }

void AnswerDetector::Analyse(std::span<const std::int16_t> frame) {
  ++frames_;
  const double now = seconds();
  const double level = FrameLevel(frame);
  const bool tone = tones_.Frame(frame, level, now);
  const bool voice = voice_.Frame(level) && !tone;
  if (voice) {
    if (!greeting_over_) loudest_ = std::max(loudest_, level);
    silence_run_ = 0;
    voice_run_ += kFrameSeconds;
    if (!in_word_ && level >= voice_.floor() + kStrongAboveFloor && level >= kStrongLevel &&
        Voicing(frame) >= kVoiced) {
      strong_run_ += kFrameSeconds;
    }
    if (!decision_) voice_total_ += kFrameSeconds;
    const bool word = voice_run_ + kSlack >= settings_.minimum_word_length ||
                      strong_run_ + kSlack >= settings_.minimum_word_length / 2;
    if (!in_word_ && word) {
      ++words_;
      in_word_ = true;
      if (!first_voice_) first_voice_ = now - voice_run_;
    }
    if (in_word_) last_voice_ = now;
  } else {
    silence_run_ += kFrameSeconds;
    if (silence_run_ + kSlack >= settings_.between_words_silence) {
      in_word_ = false;
      voice_run_ = 0;
      strong_run_ = 0;
    }
  }
  // A tone of a beep's kind is a beep once quiet follows it.
  bool beep = false;
  // (A fax's tones after its answer tone are no voicemail's beep.)
  if (auto ended = tones_.TakeBeep(); ended && settings_.beep && !tones_.fax()) {
    candidate_ = ended;
    quiet_after_ = 0;
  } else if (candidate_ && voice) {
    candidate_.reset();
  } else if (candidate_) {
    quiet_after_ += kFrameSeconds;
    if (quiet_after_ + kSlack >= kQuietAfterBeep) {
      beep_ = candidate_;
      candidate_.reset();
      beep = true;
    }
  }
  const bool tone_pending = candidate_.has_value() || tones_.InTone();

  if (decision_) {
    if (decision_->who == AnsweredBy::kMachine) FollowGreeting(voice, level, beep);
    return;
  }
  if (beep) {
    Decide(AnsweredBy::kMachine, "beep at " + Seconds(beep_->start));
  } else if (tones_.fax()) {
    Decide(AnsweredBy::kMachine, "fax answer tone");
  } else if (words_ >= settings_.maximum_number_of_words) {
    Decide(AnsweredBy::kMachine, Words(words_));
  } else if (voice_total_ + kSlack >= settings_.greeting && words_ > 0) {
    Decide(AnsweredBy::kMachine, "speech longer than " + Seconds(settings_.greeting));
  } else if (voice_run_ + kSlack >= settings_.maximum_word_length && words_ > 0) {
    Decide(AnsweredBy::kMachine, "a word longer than " + Seconds(settings_.maximum_word_length));
  } else if (words_ > 0 && !tone_pending &&
             silence_run_ + kSlack >= settings_.after_greeting_silence) {
    Decide(AnsweredBy::kHuman, Words(words_) + " in " + Seconds(last_voice_ - *first_voice_) +
                                   ", then " + Seconds(silence_run_) + " of silence");
  } else if (words_ == 0 && !tone_pending && now + kSlack >= settings_.initial_silence) {
    Decide(AnsweredBy::kUnknown, "no speech within " + Seconds(settings_.initial_silence));
  } else if (now + kSlack >= settings_.total_analysis_time) {
    Decide(AnsweredBy::kUnknown, "undecided after " + Seconds(settings_.total_analysis_time));
  }
  if (decision_ && decision_->who == AnsweredBy::kMachine) FollowGreeting(voice, level, beep);
}

void AnswerDetector::FollowGreeting(bool voice, double level, bool beep) {
  if (greeting_over_) {
    // Speech again: what seemed the end was not.
    const bool again = voice && level >= loudest_ - kResumingBelowLoudest;
    resuming_ = again ? resuming_ + kFrameSeconds : 0;
    if (resuming_ + kSlack >= kResumingVoice) {
      greeting_over_ = false;
      greeting_end_.clear();
      resumed_ = seconds() - resuming_;
      resuming_ = 0;
    }
    return;
  }
  if (beep) {
    greeting_over_ = true;
    greeting_end_ = "after beep at " + Seconds(beep_->start);
  } else if (!candidate_ && !tones_.InTone() && silence_run_ + kSlack >= kGreetingEndSilence) {
    greeting_over_ = true;
    greeting_end_ = "after " + Seconds(silence_run_) + " of silence";
  }
}

void AnswerDetector::Decide(AnsweredBy who, std::string reason) {
  decision_ = WhoAnswered{who, seconds(), std::move(reason), {}};
  greeting_over_ = who != AnsweredBy::kMachine;
  greeting_end_.clear();
}

WhoAnswered AnswerDetector::Result() const {
  WhoAnswered result = decision_.value_or(
      WhoAnswered{AnsweredBy::kUnknown, seconds(), "undecided after " + Seconds(seconds()), {}});
  std::string& heard = result.heard;
  if (first_voice_) {
    heard = "greeting " + Seconds(last_voice_ - *first_voice_) + ", " + Words(words_);
  } else {
    heard = "no speech";
  }
  if (beep_) heard += ", beep at " + Seconds(beep_->start);
  if (tones_.fax()) heard += ", fax answer tone at " + Seconds(*tones_.fax());
  return result;
}

}  // namespace ringwell::host::amd
