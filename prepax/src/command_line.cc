#include "command_line.h"

#include "ringwell/common/text.h"

namespace ringwell::prepax {

std::string JoinArguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

Switch ParseSwitch(std::string_view command_line) {
  struct Entry {
    std::string_view name;
    Switch value;
  };
  constexpr Entry kSwitches[] = {{"UnregServer", Switch::kUnregServer},
                                 {"RegServer", Switch::kRegServer},
                                 {"Service", Switch::kService}};
  for (std::size_t i = 0; i < command_line.size(); ++i) {
    if (command_line[i] != '-' && command_line[i] != '/') continue;
    const std::string_view rest = command_line.substr(i + 1);
    for (const Entry& entry : kSwitches) {
      if (EqualsIgnoringCase(rest, entry.name)) return entry.value;
    }
  }
  return Switch::kNone;
}

}  // namespace ringwell::prepax
