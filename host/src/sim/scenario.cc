#include "sim/scenario.h"

#include <fnmatch.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace ringwell::host {
namespace {

using nlohmann::json;

Outcome ParseOutcome(const std::string& text) {
  if (text == "answer") return Outcome::kAnswer;
  if (text == "busy") return Outcome::kBusy;
  if (text == "noanswer") return Outcome::kNoAnswer;
  if (text == "failure") return Outcome::kFailure;
  throw std::runtime_error("unknown outcome \"" + text + "\" (answer, busy, noanswer or failure)");
}

AnsweredBy ParseAnsweredBy(const std::string& text) {
  if (text == "human") return AnsweredBy::kHuman;
  if (text == "machine") return AnsweredBy::kMachine;
  if (text == "unknown") return AnsweredBy::kUnknown;
  throw std::runtime_error("unknown answered_by \"" + text + "\" (human, machine or unknown)");
}

Behaviour ParseBehaviour(const json& item) {
  if (!item.is_object()) throw std::runtime_error("a behaviour must be an object");
  Behaviour behaviour;
  for (const auto& [key, value] : item.items()) {
    if (key == "outcome") {
      behaviour.outcome = ParseOutcome(value.get<std::string>());
    } else if (key == "keys") {
      if (value.is_string()) {
        for (char c : value.get<std::string>()) behaviour.keys.emplace_back(1, c);
      } else {
        behaviour.keys = value.get<std::vector<std::string>>();
      }
    } else if (key == "rings") {
      behaviour.rings = value.get<int>();
    } else if (key == "greeting") {
      behaviour.greeting = value.get<double>();
    } else if (key == "key_delay") {
      behaviour.key_delay = value.get<double>();
    } else if (key == "duration") {
      behaviour.duration = value.get<double>();
    } else if (key == "answered_by") {
      behaviour.answered_by = ParseAnsweredBy(value.get<std::string>());
    } else if (key == "error") {
      behaviour.error = value.get<std::string>();
    } else if (key != "number" && key != "attempts") {
      throw std::runtime_error("unknown field \"" + key + "\"");
    }
  }
  if (behaviour.rings < 0 || behaviour.greeting < 0 || behaviour.key_delay < 0 ||
      (behaviour.duration && *behaviour.duration < 0)) {
    throw std::runtime_error("rings, greeting, key_delay and duration cannot be negative");
  }
  return behaviour;
}

}  // namespace

Scenario Scenario::Parse(const std::string& json_text) {
  Scenario scenario;
  try {
    const json root = json::parse(json_text);
    if (!root.is_object()) throw std::runtime_error("the scenario must be a JSON object");
    if (root.contains("default")) scenario.default_ = ParseBehaviour(root.at("default"));
    if (root.contains("rules")) {
      for (const json& item : root.at("rules")) {
        Rule rule;
        rule.pattern = item.at("number").get<std::string>();
        if (item.contains("attempts")) {
          for (const json& attempt : item.at("attempts")) {
            rule.attempts.push_back(ParseBehaviour(attempt));
          }
          if (rule.attempts.empty()) throw std::runtime_error("\"attempts\" is empty");
        } else {
          rule.attempts.push_back(ParseBehaviour(item));
        }
        scenario.rules_.push_back(std::move(rule));
      }
    }
  } catch (const json::exception& e) {
    throw std::runtime_error(e.what());
  }
  return scenario;
}

Scenario Scenario::Load(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return Parse(text.str());
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

Behaviour Scenario::NextAttempt(const std::string& number) {
  MutexLock lock(mutex_);
  const std::size_t attempt = attempts_[number]++;
  for (const Rule& rule : rules_) {
    if (rule.pattern == number || fnmatch(rule.pattern.c_str(), number.c_str(), 0) == 0) {
      return rule.attempts[std::min(attempt, rule.attempts.size() - 1)];
    }
  }
  return default_;
}

}  // namespace ringwell::host
