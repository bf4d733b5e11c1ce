// The daemon's command line. Like the service executable it stands in for, it
// looks for "-" and "/" anywhere in its command line and compares everything
// after such a character, ignoring case, with the switch names; the first
// match decides. "prepax -RegServer" and "prepax /regserver" register;
// "prepax -RegServer extra" matches nothing and runs the daemon.
#pragma once

#include <string>
#include <string_view>

namespace ringwell::prepax {

enum class Switch { kNone, kUnregServer, kRegServer, kService };

// The arguments after the program name, joined by single blanks.
std::string JoinArguments(int argc, const char* const* argv);

Switch ParseSwitch(std::string_view command_line);

}  // namespace ringwell::prepax
