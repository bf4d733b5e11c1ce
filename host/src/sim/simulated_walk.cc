#include "sim/simulated_walk.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <sstream>

namespace ringwell::host {
namespace {

// A simulated callee: nothing waits, the seconds are only counted.
class SimulatedLeg final : public CallLeg {
 public:
  SimulatedLeg(const Behaviour& behaviour, const PartLength& part_length,
               const MachineDetection& detection)
      : behaviour_(behaviour),
        part_length_(part_length),
        detection_(detection),
        keys_(behaviour.keys.begin(), behaviour.keys.end()) {}

  // Who answered is decided as the SIP line's detector would decide for such
  // a callee: a person at the end of their greeting, a machine once it has
  // spoken longer than a person would, silence after the initial silence.
  GreetingEnd AwaitGreetingEnd(double max_seconds) override {
    const double greeting = behaviour_.greeting;
    const std::string heard = "greeting " + Seconds(greeting);
    WhoAnswered who;
    double wait = greeting;  // until the message starts
    bool hang_up = false;
    switch (behaviour_.answered_by) {
      case AnsweredBy::kHuman:
        who = {AnsweredBy::kHuman, greeting, "the scenario's callee is a person", heard};
        break;
      case AnsweredBy::kMachine:
        who = {AnsweredBy::kMachine, std::min(greeting, detection_.greeting),
               "the scenario's callee is an answering machine", heard};
        if (detection_.machine != MachineAction::kLeaveMessage) wait = who.at;
        hang_up = detection_.machine == MachineAction::kHangUpAndRetry;
        break;
      case AnsweredBy::kUnknown:
        who = {AnsweredBy::kUnknown, detection_.initial_silence,
               "no speech within " + Seconds(detection_.initial_silence), "no speech"};
        wait = who.at;
        break;
    }
    GreetingEnd end;
    if (who.at > max_seconds) {
      who = {AnsweredBy::kUnknown, max_seconds, "undecided after " + Seconds(max_seconds), heard};
      hang_up = false;
    }
    end.answered_by = who;
    end.over = wait <= max_seconds;
    end.hang_up = hang_up;
    Spend(std::min(wait, max_seconds));
    return end;
  }
  double Play(const std::vector<MessagePart>& parts, std::vector<std::string>* unplayed) override {
    double length = 0;
    for (const MessagePart& part : parts) {
      std::string why;
      length += part_length_(part, &why);
      if (!why.empty()) unplayed->push_back(part.content + " (" + why + ")");
    }
    Spend(length);
    return length;
  }
  std::optional<std::string> AwaitKey(double timeout_seconds) override {
    if (keys_.empty() || behaviour_.key_delay > timeout_seconds) {
      Spend(timeout_seconds);
      return std::nullopt;
    }
    if (!Spend(behaviour_.key_delay)) return std::nullopt;
    std::string key = keys_.front();
    keys_.pop_front();
    return key;
  }
  std::optional<std::string> Ended() const override {
    if (hung_up_) return "Callee hung up";
    return std::nullopt;
  }
  double Seconds() const override { return seconds_; }

 private:
  // Lets `seconds` pass; false once the callee has hung up.
  bool Spend(double seconds) {
    if (hung_up_) return false;
    if (behaviour_.duration && seconds_ + seconds >= *behaviour_.duration) {
      seconds_ = std::max(seconds_, *behaviour_.duration);
      hung_up_ = true;
      return false;
    }
    seconds_ += seconds;
    return true;
  }

  static std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
  }

  const Behaviour& behaviour_;
  const PartLength& part_length_;
  const MachineDetection& detection_;
  std::deque<std::string> keys_;
  double seconds_ = 0;
  bool hung_up_ = false;
};

}  // namespace

CallWalk WalkCallTree(pugi::xml_node call_tree, const Behaviour& behaviour,
                      double max_greeting_seconds, const PartLength& part_length,
                      const MachineDetection& detection) {
  SimulatedLeg leg(behaviour, part_length, detection);
  return WalkCallTree(call_tree, leg, max_greeting_seconds);
}

double EstimatedSpeechSeconds(const std::string& text) {
  std::istringstream words(text);
  std::string word;
  double seconds = 0;
  while (words >> word) seconds += 0.4;
  return seconds;
}

}  // namespace ringwell::host
