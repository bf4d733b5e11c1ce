#include "call_tree.h"

#include <algorithm>
#include <cstdio>
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
  explicit Walker(CallLeg& leg) : leg_(leg) {}

  CallWalk Run(pugi::xml_node call_tree, double max_greeting) {
    max_greeting_ = max_greeting;
    const GreetingEnd greeting = leg_.AwaitGreetingEnd(max_greeting);
    walk_.answered_by = greeting.answered_by;
    leaving_ = greeting.leaving_message;
    if (greeting.answered_by) Note(AnsweredByLine(*greeting.answered_by));
    if (Going() && greeting.hang_up) {
      Note("A machine answered: hung up without a message, to try again as not answered");
      walk_.not_answered = true;
    } else if (Going()) {
      if (greeting.over) {
        Note("Greeting " + Seconds(leg_.Seconds()));
        if (leaving_ && !greeting.after.empty()) Note("Message started " + greeting.after);
      } else {
        Note("Greeting still going after " + Seconds(max_greeting) + "; message started");
        if (leaving_) Incomplete("greeting still going after " + Seconds(max_greeting));
      }
      PlayNodes(call_tree);
      if (Going()) Note("Call tree finished; line hung up");
    }
    if (leaving_ && walk_.callee_hung_up && !left_whole_) {
      Incomplete("callee hung up before the message had played whole");
    }
    TakeLegNotes();
    walk_.seconds = leg_.Seconds();
    return std::move(walk_);
  }

 private:
  // Adds a line of the walk, after what the leg noted before it.
  void Note(std::string line) {
    TakeLegNotes();
    walk_.protocol.push_back(std::move(line));
  }
  void TakeLegNotes() {
    for (std::string& note : leg_.TakeNotes()) walk_.protocol.push_back(std::move(note));
  }

  void Incomplete(std::string why) {
    if (!walk_.left_incomplete) walk_.left_incomplete = std::move(why);
  }

  // False once the call has ended; the first time, notes why and when.
  bool Going() {
    if (walk_.callee_hung_up) return false;
    const auto why = leg_.Ended();
    if (!why) return true;
    walk_.callee_hung_up = true;
    Note(*why + " after " + Seconds(leg_.Seconds()));
    return false;
  }

  // The nodes below `parent` (a CallTree or a Response): each Message with
  // the Responses element that follows it.
  void PlayNodes(pugi::xml_node parent) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
      if (!Going()) return;
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
      const std::optional<std::string> key = leg_.AwaitKey(timeout);
      if (!Going()) return;
      if (!key) {
        Note("No key within " + std::to_string(timeout) + " s");
        continue;
      }
      for (pugi::xml_node response : responses.children("Response")) {
        if (*key == response.attribute("Button").value()) {
          Note("Key " + *key + " pressed: response for button " + *key);
          PlayNodes(response);
          return;
        }
      }
      Note("Key " + *key + " pressed: no response for it");
    }
    if (waits) Note("No response chosen");
  }

  // Plays the message; again from its start each time the leg stopped it
  // because a machine's greeting went on.
  bool PlayMessage(pugi::xml_node message, int play) {
    for (;;) {
      const std::optional<double> interrupted = PlayOnce(message, play);
      if (!interrupted) {
        if (Going()) left_whole_ = true;
        return Going();
      }
      Note("Message stopped: speech resumed at " + Seconds(*interrupted));
      const GreetingEnd again = leg_.AwaitGreetingEnd(max_greeting_);
      if (!Going()) return false;
      if (again.over) {
        Note("Message started again " + again.after);
      } else {
        Note("Greeting still going after " + Seconds(max_greeting_) + "; message started again");
        Incomplete("greeting still going after " + Seconds(max_greeting_));
      }
    }
  }

  // Plays the message once and notes it; when the leg stopped it, the
  // second the callee's speech resumed.
  std::optional<double> PlayOnce(pugi::xml_node message, int play) {
    std::vector<MessagePart> parts;
    for (pugi::xml_node part : message.children("MessagePart")) {
      parts.push_back({part.attribute("Type").value(), xml::Text(part)});
    }
    // The line goes where the playing began: keys heard while it played
    // come after it.
    TakeLegNotes();
    const std::size_t at = walk_.protocol.size();
    std::vector<std::string> unplayed;
    const double length = leg_.Play(parts, &unplayed);
    const std::optional<double> interrupted = leg_.TakeInterruption();
    std::ostringstream line;
    line << (play == 0 ? "Played" : "Replayed") << ":";
    bool first = true;
    for (const MessagePart& part : parts) {
      line << (first ? " " : ", ")
           << (part.type == "File" ? part.content : "\"" + part.content + "\"");
      first = false;
    }
    if (first) line << " (no parts)";
    line << " (" << Seconds(length) << ")";
    walk_.protocol.insert(walk_.protocol.begin() + static_cast<std::ptrdiff_t>(at), line.str());
    for (std::string& part : unplayed) {
      walk_.protocol.push_back("Not played: " + part);
      walk_.unplayed.push_back(std::move(part));
    }
    walk_.heard.insert(walk_.heard.end(), parts.begin(), parts.end());
    return interrupted;
  }

  CallLeg& leg_;
  CallWalk walk_;
  double max_greeting_ = 0;
  bool leaving_ = false;     // a message is left on a machine
  bool left_whole_ = false;  // a message has played whole
};

}  // namespace

CallWalk WalkCallTree(pugi::xml_node call_tree, CallLeg& leg, double max_greeting_seconds) {
  return Walker(leg).Run(call_tree, max_greeting_seconds);
}

MachineDetection RequestMachineDetection(pugi::xml_node request, const MachineDetection& host,
                                         std::string* problem) {
  MachineDetection settings = host;
  const pugi::xml_attribute text = request.attribute(kMachineDetectionAttribute);
  std::string error;
  if (text && !ApplyMachineDetection(text.value(), &settings, &error)) {
    *problem = std::string(kMachineDetectionAttribute) + " of the request not used: " + error;
  }
  return settings;
}

std::string AnsweredByLine(const WhoAnswered& who) {
  char at[32];
  std::snprintf(at, sizeof at, "%.2f s", who.at);
  std::string line = std::string("Answered by: ") + AnsweredByWord(who.who) + ", decided at " + at +
                     " (" + who.reason + ")";
  if (!who.heard.empty()) line += "; " + who.heard;
  return line;
}

int RequestCount(pugi::xml_node request, const char* name, int fallback) {
  const auto value = xml::TypedInt(xml::ChildElement(request, name));
  return value && *value >= 0 && *value <= 100000 ? static_cast<int>(*value) : fallback;
}

}  // namespace ringwell::host
