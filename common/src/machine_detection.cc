#include "ringwell/common/machine_detection.h"

#include <charconv>
#include <cmath>
#include <optional>

#include "ringwell/common/text.h"

namespace ringwell {
namespace {

constexpr double kMaxSeconds = 60;

std::optional<double> Number(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Applies one pair; an error text when it cannot be used.
std::string ApplyPair(std::string_view key, std::string_view value, MachineDetection& settings) {
  struct Seconds {
    const char* key;
    double MachineDetection::*member;
  };
  static constexpr Seconds kSeconds[] = {
      {"initialSilence", &MachineDetection::initial_silence},
      {"greeting", &MachineDetection::greeting},
      {"afterGreetingSilence", &MachineDetection::after_greeting_silence},
      {"totalAnalysisTime", &MachineDetection::total_analysis_time},
      {"minimumWordLength", &MachineDetection::minimum_word_length},
      {"betweenWordsSilence", &MachineDetection::between_words_silence},
      {"maximumWordLength", &MachineDetection::maximum_word_length},
  };
  for (const Seconds& seconds : kSeconds) {
    if (key != seconds.key) continue;
    const auto number = Number(value);
    const bool positive = key == "totalAnalysisTime";
    if (!number || *number < 0 || *number > kMaxSeconds || (positive && *number == 0)) {
      return std::string(key) + ": \"" + std::string(value) + "\" is not a number of seconds " +
             (positive ? "above 0 up to 60" : "from 0 to 60");
    }
    settings.*seconds.member = *number;
    return {};
  }
  if (key == "maximumNumberOfWords") {
    const auto number = Number(value);
    if (!number || *number != std::floor(*number) || *number < 1 || *number > 100) {
      return "maximumNumberOfWords: \"" + std::string(value) + "\" is not a whole number 1-100";
    }
    settings.maximum_number_of_words = static_cast<int>(*number);
    return {};
  }
  if (key == "beep") {
    if (value != "true" && value != "false") {
      return "beep: \"" + std::string(value) + "\" is neither true nor false";
    }
    settings.beep = value == "true";
    return {};
  }
  if (key == "machine") {
    for (MachineAction action :
         {MachineAction::kLeaveMessage, MachineAction::kHangUpAndRetry, MachineAction::kPlay}) {
      if (value == MachineActionWord(action)) {
        settings.machine = action;
        return {};
      }
    }
    return "machine: \"" + std::string(value) +
           "\" is not one of leave-message, hangup-and-retry, play";
  }
  return "\"" + std::string(key) + "\" is not a setting of machine detection";
}

}  // namespace

const char* MachineActionWord(MachineAction action) {
  switch (action) {
    case MachineAction::kHangUpAndRetry:
      return "hangup-and-retry";
    case MachineAction::kPlay:
      return "play";
    case MachineAction::kLeaveMessage:
      break;
  }
  return "leave-message";
}

bool ApplyMachineDetection(std::string_view text, MachineDetection* settings, std::string* error) {
  MachineDetection changed = *settings;
  while (!Trim(text).empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view pair = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) {
      *error = "\"" + std::string(pair) + "\" is not of the form key=value";
      return false;
    }
    if (std::string problem =
            ApplyPair(Trim(pair.substr(0, equals)), Trim(pair.substr(equals + 1)), changed);
        !problem.empty()) {
      *error = std::move(problem);
      return false;
    }
  }
  *settings = changed;
  return true;
}

}  // namespace ringwell
