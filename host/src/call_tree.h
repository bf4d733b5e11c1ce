// How a simulated line plays a request's call tree to a callee who picked up:
// each Message of the tree is played part by part; when the message has
// Responses the line waits Timeout seconds for a key, playing the message
// again up to Replays times; a key whose Button matches a Response leads into
// that response (its Message, its nested Responses and further nodes), and the
// walk then goes on with the next node. Time is counted in simulated seconds.
//
// Thread-safety: pure functions.
#pragma once

#include <functional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "scenario.h"

namespace ringwell::host {

struct MessagePart {
  std::string type;     // "File" or "Text"
  std::string content;  // the wav file's name, or the text
};

// How long a part plays, in seconds.
using PartLength = std::function<double(const MessagePart&)>;

struct CallWalk {
  double seconds = 0;  // from pick-up to hang-up
  std::vector<std::string> protocol;
  std::vector<MessagePart> heard;  // every part played, in order
  bool callee_hung_up = false;
};

// Walks `call_tree` (the request's CallTree element) for a callee behaving as
// `behaviour`; the greeting is waited for at most `max_greeting_seconds`.
CallWalk WalkCallTree(pugi::xml_node call_tree, const Behaviour& behaviour,
                      double max_greeting_seconds, const PartLength& part_length);

// The length of a spoken text part when it has not been rendered: about
// 0.4 s a word.
double EstimatedSpeechSeconds(const std::string& text);

}  // namespace ringwell::host
