#include "command_line.h"

#include "ringwell/common/text.h"

namespace ringwell::prepax {

Switch ParseSwitch(std::string_view argument) {
  if (argument == "--help" || argument == "-h" || argument == "-?" || argument == "/?") {
    return Switch::kHelp;
  }
  if (argument == "--version") return Switch::kVersion;
  struct Entry {
    std::string_view name;
    Switch value;
  };
  constexpr Entry kSwitches[] = {{"UnregServer", Switch::kUnregServer},
                                 {"RegServer", Switch::kRegServer},
                                 {"Service", Switch::kService}};
  if (argument.empty() || (argument[0] != '-' && argument[0] != '/')) return Switch::kUnknown;
  const std::string_view name = argument.substr(1);
  for (const Entry& entry : kSwitches) {
    if (EqualsIgnoringCase(name, entry.name)) return entry.value;
  }
  return Switch::kUnknown;
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  if (argc <= 1) return {};
  if (argc > 2) return {Switch::kUnknown, argv[2]};
  const Switch action = ParseSwitch(argv[1]);
  return {action, action == Switch::kUnknown ? argv[1] : ""};
}

std::string Usage() {
  return "usage: prepax [-RegServer | -Service | -UnregServer | --help | --version]\n"
         "  (no switch)   run the preprocessing daemon; SIGTERM or Ctrl-C stop it\n"
         "  -RegServer    register the daemon in the registry store\n"
         "  -Service      register it and install its systemd unit prepax.service\n"
         "                (unit directory $RINGWELL_UNIT_DIR, else /etc/systemd/system)\n"
         "  -UnregServer  remove the registration and the unit\n"
         "Switches may start with - or / and ignore letter case. The registry store is\n"
         "$RINGWELL_REGISTRY, else /etc/ringwell/registry.toml; ringwell-setup prepares\n"
         "everything the daemon needs.\n";
}

}  // namespace ringwell::prepax
