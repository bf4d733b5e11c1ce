// The daemon's command line. Without an argument the daemon runs. One
// argument may name a registration switch, "-RegServer", "-Service" or
// "-UnregServer", after "-" or "/" and in any letter case ("/regserver"
// registers too), or ask for "--help" ("-h", "-?", "/?") or "--version".
// Anything else, and any further argument, is refused.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace ringwell::prepax {

enum class Switch { kNone, kUnregServer, kRegServer, kService, kHelp, kVersion, kUnknown };

struct CommandLine {
  Switch action = Switch::kNone;
  std::string refused;  // the argument refused (kUnknown)
};

// The switch one argument names (kUnknown when it names none).
Switch ParseSwitch(std::string_view argument);

CommandLine ParseCommandLine(int argc, const char* const* argv);

// The usage text, ending with a line break.
std::string Usage();

}  // namespace ringwell::prepax
