// How a line plays a request's call tree to a callee who picked up: after the
// greeting, each Message of the tree is played part by part, up to 1 +
// Replays times. When a Responses element with a Response follows the
// message, the line waits Timeout seconds for a key after each playing (keys
// pressed while it played count too): a key whose Button matches a
// Response leads into that response (its Message, its nested Responses and
// further nodes) and ends the replays; no key, or a key that matches none,
// plays the message again. The walk then goes on with the next node. A
// message without a Response is simply played 1 + Replays times.
//
// The protocol tells what happened in the order it happened: what the leg
// notes on its own (a key heard while a message played) goes in where it
// came, and "Key 2 pressed: response for button 2" names the response by its
// Button. A part that cannot be played (its wav file missing or refused) is
// noted and listed in the walk's `unplayed`: a call that could not play its
// message in full fails, on every kind of line.
//
// The walk starts once the greeting is over. A line that tells who answered
// (answering-machine detection, amd/) says so in the protocol, and when a
// machine answered and the request wants no message left on it, the walk
// ends there and the call counts as not answered. When a message is left on
// a machine, the protocol says what it followed ("Message started after
// beep at 9.3 s"); when the machine speaks again while the message plays
// (what ended the greeting was not its end), the line stops the message,
// the walk notes it ("Message stopped: speech resumed at 1.4 s"), waits for
// the greeting to end again (within the same MaxGreetingDuration from the
// pick-up) and plays the message again from its start. A message that
// could not be left whole after the greeting (the greeting still going at
// the limit, the callee hanging up before the message had played once
// whole) makes the walk `left_incomplete`, with the reason.
//
// One walker serves every kind of line: it drives the call through CallLeg,
// which a simulated line implements with simulated seconds
// (sim/simulated_walk.h) and a SIP line with real audio on a real call
// (sip/sip_call.h).
//
// Thread-safety: the walker runs on the calling thread; it uses the leg from
// that thread only.
#pragma once

#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "amd/who_answered.h"
#include "ringwell/common/machine_detection.h"

namespace ringwell::host {

struct MessagePart {
  std::string type;     // "File" or "Text"
  std::string content;  // the wav file's name, or the text
};

// How the wait for the callee's greeting ended.
struct GreetingEnd {
  bool over = true;                        // false: still going on at the limit
  std::optional<WhoAnswered> answered_by;  // when the line tells who answered
  bool hang_up = false;  // a machine answered and is left no message: not answered
  // A machine answered and is left a message: what ended its greeting
  // ("after beep at 9.3 s", "after 1.2 s of silence"; empty when it did not
  // end).
  bool leaving_message = false;
  std::string after;
};

// The line's side of an answered call, as the walker drives it. Every
// operation returns early once the call has ended (Ended() then says why).
class CallLeg {
 public:
  virtual ~CallLeg() = default;
  // Waits until the callee's greeting is over, at most `max_seconds`.
  virtual GreetingEnd AwaitGreetingEnd(double max_seconds) = 0;
  // Plays `parts` one after the other; returns the length in seconds of what
  // played. Each part that could not be played is added to `unplayed` as
  // "NAME (why)".
  virtual double Play(const std::vector<MessagePart>& parts,
                      std::vector<std::string>* unplayed) = 0;
  // Waits up to `timeout_seconds` for a key of the callee; keys pressed while
  // a message played count too. Empty when none came.
  virtual std::optional<std::string> AwaitKey(double timeout_seconds) = 0;
  // Why the call ended before the walk was done ("Callee hung up"), or empty
  // while it goes on.
  virtual std::optional<std::string> Ended() const = 0;
  // Seconds since the callee picked up.
  virtual double Seconds() const = 0;
  // The lines the leg noted since it was last asked (keys heard), in the
  // order they came.
  virtual std::vector<std::string> TakeNotes() { return {}; }
  // When the last Play was stopped because a machine's greeting went on
  // (the second its speech resumed), once; empty when it was not.
  virtual std::optional<double> TakeInterruption() { return std::nullopt; }
};

struct CallWalk {
  double seconds = 0;  // from pick-up to hang-up
  std::vector<std::string> protocol;
  std::vector<MessagePart> heard;     // every part played, in order
  std::vector<std::string> unplayed;  // parts that could not be played: "NAME (why)"
  bool callee_hung_up = false;        // the call ended before the walk was done
  std::optional<WhoAnswered> answered_by;
  bool not_answered = false;  // a machine answered and the line hung up at once
  // A message left on a machine could not be left whole after its greeting:
  // why ("greeting still going after 30.0 s").
  std::optional<std::string> left_incomplete;
};

// Walks `call_tree` (the request's CallTree element) on `leg`; the greeting
// is waited for at most `max_greeting_seconds`.
CallWalk WalkCallTree(pugi::xml_node call_tree, CallLeg& leg, double max_greeting_seconds);

// A count of the request (NumberOfRings, MaxGreetingDuration): the child
// element's typed value when it lies in 0..100000, else `fallback`.
int RequestCount(pugi::xml_node request, const char* name, int fallback);

// The machine detection settings of a request: `host` with the request's
// attribute MachineDetection applied. An attribute that cannot be used
// leaves `host` as it is and says why in `problem`.
MachineDetection RequestMachineDetection(pugi::xml_node request, const MachineDetection& host,
                                         std::string* problem);

// The protocol line saying who answered ("Answered by: Machine, decided at
// 2.10 s (speech longer than 1.5 s); greeting 6.8 s, 19 words, beep at 7.1 s").
std::string AnsweredByLine(const WhoAnswered& who);

}  // namespace ringwell::host
