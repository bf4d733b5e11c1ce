// Settings of answering-machine detection: how a SIP line of the host tells a
// person from a voicemail in the first seconds of an answered call, and what
// it does when a machine answered. A request carries them in its attribute
// "MachineDetection" (the toolkit writes it from a description's
// "machineDetection" object), the host takes its own defaults with
// --machine-detection; both are the same text, "key=value" pairs separated
// by commas, applied over the settings in force:
//
//   machine=leave-message        what to do with a machine: "leave-message" (wait
//                                for the end of its greeting or its beep, then play
//                                the message from its start), "hangup-and-retry"
//                                (the call counts as not answered) or "play" (play
//                                at once)
//   initialSilence=2.5           seconds without speech after pick-up: "Unknown"
//   greeting=1.5                 seconds of speech a person's greeting stays below
//   afterGreetingSilence=0.8     seconds of silence that end a person's greeting
//   totalAnalysisTime=5          seconds after which an undecided call is "Unknown"
//   minimumWordLength=0.1        seconds of speech that make a word
//   betweenWordsSilence=0.05     seconds of silence that part two words
//   maximumNumberOfWords=4       words at which a greeting is a machine's
//   maximumWordLength=5          seconds of one word at which it is a machine's
//   beep=true                    whether a beep (a steady tone of 0.3-1.5 s between
//                                400 and 2000 Hz) marks a machine and ends its greeting
//
// Seconds lie between 0 and 60 (totalAnalysisTime above 0), the word count
// between 1 and 100.
//
// Thread-safety: plain values and pure functions.
#pragma once

#include <string>
#include <string_view>

namespace ringwell {

inline constexpr char kMachineDetectionAttribute[] = "MachineDetection";

enum class MachineAction { kLeaveMessage, kHangUpAndRetry, kPlay };

struct MachineDetection {
  MachineAction machine = MachineAction::kLeaveMessage;
  double initial_silence = 2.5;
  double greeting = 1.5;
  double after_greeting_silence = 0.8;
  double total_analysis_time = 5;
  double minimum_word_length = 0.1;
  double between_words_silence = 0.05;
  int maximum_number_of_words = 4;
  double maximum_word_length = 5;
  bool beep = true;
};

// Applies `text` ("greeting=2,machine=play") to `settings`. An empty text
// changes nothing. False with `error` naming the first key or value that
// cannot be used; `settings` is then unchanged.
bool ApplyMachineDetection(std::string_view text, MachineDetection* settings, std::string* error);

const char* MachineActionWord(MachineAction action);

}  // namespace ringwell
