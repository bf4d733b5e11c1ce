// The call-tree walk of a simulated callee: the walker of call_tree.h on a
// leg that behaves as the scenario says (who answers, greeting, keys and
// their delay, an early hang-up) and only counts simulated seconds, nothing waiting in real
// time. The simulated modem lets that many seconds pass afterwards.
//
// Thread-safety: pure functions; `part_length` is called on the calling
// thread.
#pragma once

#include <functional>
#include <pugixml.hpp>
#include <string>

#include "call_tree.h"
#include "sim/scenario.h"

namespace ringwell::host {

// How long a part plays, in seconds; a part that cannot be played sets
// `unplayable` to why, and plays 0 s.
using PartLength = std::function<double(const MessagePart&, std::string* unplayable)>;

// The walk for a simulated callee behaving as `behaviour`, in simulated
// seconds; the greeting is waited for at most `max_greeting_seconds`, and
// who answered is told as `detection` would tell it.
CallWalk WalkCallTree(pugi::xml_node call_tree, const Behaviour& behaviour,
                      double max_greeting_seconds, const PartLength& part_length,
                      const MachineDetection& detection = {});

// The length of a spoken text part when it has not been rendered: about
// 0.4 s a word.
double EstimatedSpeechSeconds(const std::string& text);

}  // namespace ringwell::host
