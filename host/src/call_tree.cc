#include "call_tree.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <sstream>

#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"

namespace ringwell::host {
namespace {

std::string Seconds(double seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f s", seconds);
  return buffer;
}

int IntAttribute(pugi::xml_node element, const char* name, int fallback) {
  const auto value = ParseInt32(element.attribute(name).value());
  return value ? *value : fallback;
}

class Walker {
 public:
  Walker(const Behaviour& behaviour, const PartLength& part_length)
      : behaviour_(behaviour), part_length_(part_length) {
    keys_.assign(behaviour.keys.begin(), behaviour.keys.end());
  }

  CallWalk Run(pugi::xml_node call_tree, double max_greeting) {
    const double greeting = std::min(behaviour_.greeting, max_greeting);
    if (behaviour_.greeting > max_greeting) {
      Note("Greeting still going after " + Seconds(max_greeting) + "; message started");
    } else {
      Note("Greeting " + Seconds(greeting));
    }
    if (Spend(greeting)) PlayNodes(call_tree);
    if (!walk_.callee_hung_up) Note("Call tree finished; line hung up");
    return std::move(walk_);
  }

 private:
  void Note(std::string line) { walk_.protocol.push_back(std::move(line)); }

  // Lets `seconds` pass; false once the callee has hung up.
  bool Spend(double seconds) {
    if (walk_.callee_hung_up) return false;
    if (behaviour_.duration && walk_.seconds + seconds >= *behaviour_.duration) {
      walk_.seconds = std::max(walk_.seconds, *behaviour_.duration);
      walk_.callee_hung_up = true;
      Note("Callee hung up after " + Seconds(walk_.seconds));
      return false;
    }
    walk_.seconds += seconds;
    return true;
  }

  // The nodes below `parent` (a CallTree or a Response): each Message with
  // the Responses element that follows it.
  void PlayNodes(pugi::xml_node parent) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
      if (walk_.callee_hung_up) return;
      if (child.type() != pugi::node_element || std::string_view(child.name()) != "Message") {
        continue;
      }
      pugi::xml_node responses = child.next_sibling();
      while (responses && responses.type() != pugi::node_element) {
        responses = responses.next_sibling();
      }
      if (responses && std::string_view(responses.name()) != "Responses") responses = {};
      PlayNode(child, responses);
    }
  }

  void PlayNode(pugi::xml_node message, pugi::xml_node responses) {
    const int replays = std::max(IntAttribute(message, "Replays", 0), 0);
    const int timeout = std::max(IntAttribute(message, "Timeout", 2), 0);
    const bool waits = responses && responses.child("Response");
    for (int play = 0; play <= replays; ++play) {
      if (!PlayMessage(message, play)) return;
      if (!waits) continue;
      if (keys_.empty() || behaviour_.key_delay > timeout) {
        if (!Spend(timeout)) return;
        Note("No key within " + std::to_string(timeout) + " s");
        continue;
      }
      if (!Spend(behaviour_.key_delay)) return;
      const std::string key = keys_.front();
      keys_.pop_front();
      int index = 0;
      for (pugi::xml_node response : responses.children("Response")) {
        ++index;
        if (key == response.attribute("Button").value()) {
          Note("Key " + key + " pressed: response " + std::to_string(index));
          PlayNodes(response);
          return;
        }
      }
      Note("Key " + key + " pressed: no response for it");
    }
    if (waits) Note("No response chosen");
  }

  bool PlayMessage(pugi::xml_node message, int play) {
    std::ostringstream line;
    line << (play == 0 ? "Played" : "Replayed") << ":";
    double length = 0;
    bool first = true;
    for (pugi::xml_node part : message.children("MessagePart")) {
      MessagePart heard{part.attribute("Type").value(), xml::Text(part)};
      length += part_length_(heard);
      line << (first ? " " : ", ")
           << (heard.type == "File" ? heard.content : "\"" + heard.content + "\"");
      first = false;
      walk_.heard.push_back(std::move(heard));
    }
    if (first) line << " (no parts)";
    line << " (" << Seconds(length) << ")";
    Note(line.str());
    return Spend(length);
  }

  const Behaviour& behaviour_;
  const PartLength& part_length_;
  std::deque<std::string> keys_;
  CallWalk walk_;
};

}  // namespace

CallWalk WalkCallTree(pugi::xml_node call_tree, const Behaviour& behaviour,
                      double max_greeting_seconds, const PartLength& part_length) {
  return Walker(behaviour, part_length).Run(call_tree, max_greeting_seconds);
}

double EstimatedSpeechSeconds(const std::string& text) {
  std::istringstream words(text);
  std::string word;
  double seconds = 0;
  while (words >> word) seconds += 0.4;
  return seconds;
}

}  // namespace ringwell::host
