// Who answered a call, as the line tells it after the callee's greeting: a
// person ("Human"), an answering machine, voicemail or fax ("Machine"), or
// "Unknown" when the first seconds did not tell. Every line family reports
// it the same way: the Call element's AnsweredBy and a protocol line.
//
// Thread-safety: plain values and pure functions.
#pragma once

#include <string>

namespace ringwell::host {

enum class AnsweredBy { kHuman, kMachine, kUnknown };

// "Human", "Machine" or "Unknown".
inline const char* AnsweredByWord(AnsweredBy who) {
  switch (who) {
    case AnsweredBy::kHuman:
      return "Human";
    case AnsweredBy::kMachine:
      return "Machine";
    case AnsweredBy::kUnknown:
      break;
  }
  return "Unknown";
}

struct WhoAnswered {
  AnsweredBy who = AnsweredBy::kUnknown;
  double at = 0;       // seconds into the callee's audio when it was decided
  std::string reason;  // why ("greeting longer than 1.5 s", "key 1 pressed")
  std::string heard;   // what the greeting was ("greeting 6.8 s, 19 words, beep at 7.1 s")
};

}  // namespace ringwell::host
