#include "sim/simulated_walk.h"

#include <algorithm>
#include <deque>
#include <sstream>

namespace ringwell::host {
namespace {

// A simulated callee: nothing waits, the seconds are only counted.
class SimulatedLeg final : public CallLeg {
 public:
  SimulatedLeg(const Behaviour& behaviour, const PartLength& part_length)
      : behaviour_(behaviour),
        part_length_(part_length),
        keys_(behaviour.keys.begin(), behaviour.keys.end()) {}

  bool AwaitGreetingEnd(double max_seconds) override {
    Spend(std::min(behaviour_.greeting, max_seconds));
    return behaviour_.greeting <= max_seconds;
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

  const Behaviour& behaviour_;
  const PartLength& part_length_;
  std::deque<std::string> keys_;
  double seconds_ = 0;
  bool hung_up_ = false;
};

}  // namespace

CallWalk WalkCallTree(pugi::xml_node call_tree, const Behaviour& behaviour,
                      double max_greeting_seconds, const PartLength& part_length) {
  SimulatedLeg leg(behaviour, part_length);
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
