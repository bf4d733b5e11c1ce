// The scenario of the reference telephony host: what the simulated callee at
// each number does, attempt by attempt. It is a JSON file:
//
//   {
//     "default": { "outcome": "answer" },
//     "rules": [
//       { "number": "5550100", "outcome": "busy" },
//       { "number": "5550101",
//         "attempts": [ { "outcome": "noanswer" }, { "outcome": "answer", "keys": "1" } ] },
//       { "number": "555*", "outcome": "answer", "keys": ["2", "#"], "greeting": 4 },
//       { "number": "0049*", "outcome": "failure", "error": "No dial tone" }
//     ]
//   }
//
// A rule's "number" is the number itself or a pattern with * (any run of
// characters), ? (one character) and [...] (one of a set). The first rule that
// matches a number applies; a number no rule matches gets "default" (when that
// is missing too: answer, no keys). A rule holds one behaviour, used for every
// attempt, or "attempts", a list used one per attempt at that number (the last
// repeats). Attempts are counted per number over all lines and the pager.
//
// A behaviour:
//   "outcome"    "answer" (default), "busy", "noanswer" or "failure"
//   "keys"       the keys the callee presses, in order, one each time the line
//                waits for a key: a string of single keys ("12#") or a list of
//                strings; default none
//   "rings"      rings before the callee picks up (answer); more than the
//                request's NumberOfRings gives no answer; default 1
//   "greeting"   seconds the callee speaks after picking up ("Hello?"), or a
//                machine's greeting lasts up to the end of its beep; the line
//                waits at most the request's MaxGreetingDuration; default 2
//   "answered_by"  who picks up: "human" (default), "machine" (an answering
//                machine: the line tells it once its greeting has gone on for
//                the request's machine detection `greeting` seconds, then
//                leaves the message after the greeting, plays at once or hangs
//                up as the request says) or "unknown" (a callee who stays
//                silent: the line gives up listening after `initialSilence`)
//   "key_delay"  seconds into each wait before the callee presses a key; a key
//                later than the message's Timeout is not heard; default 1
//   "duration"   seconds after pick-up at which the callee hangs up, however
//                far the call tree got; default none (the call runs its course)
//   "error"      the Error text of a failed call or page; default "Line failure"
// Numbers cannot be negative. For a page, "failure" makes the page "Failed"
// and everything else "Sent".
//
// Thread-safety: NextAttempt may be called from every line at once.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "amd/who_answered.h"
#include "ringwell/common/thread_annotations.h"

namespace ringwell::host {

enum class Outcome { kAnswer, kBusy, kNoAnswer, kFailure };

struct Behaviour {
  Outcome outcome = Outcome::kAnswer;
  std::vector<std::string> keys;
  int rings = 1;
  double greeting = 2;
  double key_delay = 1;
  std::optional<double> duration;
  AnsweredBy answered_by = AnsweredBy::kHuman;
  std::string error = "Line failure";
};

class Scenario {
 public:
  // Everything answers, no keys.
  Scenario() = default;
  Scenario(Scenario&& other) noexcept
      : default_(std::move(other.default_)),
        rules_(std::move(other.rules_)),
        attempts_(std::move(other.attempts_)) {}
  // Parses a scenario; throws std::runtime_error saying what is wrong.
  static Scenario Parse(const std::string& json_text);
  static Scenario Load(const std::string& path);

  // The behaviour for the next attempt at `number` (counts the attempt).
  Behaviour NextAttempt(const std::string& number);

 private:
  struct Rule {
    std::string pattern;
    std::vector<Behaviour> attempts;  // at least one
  };

  Behaviour default_;
  std::vector<Rule> rules_;
  Mutex mutex_;
  std::map<std::string, std::size_t> attempts_ RINGWELL_GUARDED_BY(mutex_);
};

}  // namespace ringwell::host
