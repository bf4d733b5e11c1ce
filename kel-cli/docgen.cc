// Writes kel's manual page or its bash completion, both from the same
// definition as `kel --help`:
//   kel-docgen man FILE | kel-docgen bash FILE
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli_definition.h"
#include "ringwell/common/version.h"

namespace {

using ringwell::kel::cli::DefineCli;
using ringwell::kel::cli::Options;

std::string Roff(std::string text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
  return out;
}

std::string FullName(const CLI::App* app) {
  std::string name = app->get_name();
  for (const CLI::App* parent = app->get_parent(); parent; parent = parent->get_parent()) {
    name = parent->get_name() + " " + name;
  }
  return name;
}

bool IsHelp(const CLI::Option* option) { return option->get_name() == "--help"; }

void ManOptions(std::ostream& out, const CLI::App* app) {
  for (const CLI::Option* option : app->get_options()) {
    if (IsHelp(option) || option->get_name() == "--version") continue;
    std::string label = option->get_positional() ? option->get_name() : option->get_name();
    if (option->get_positional()) {
      for (char& c : label) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else if (option->get_type_size() != 0 && !option->get_type_name().empty()) {
      label += " " + option->get_type_name();
    }
    out << ".TP\n.B " << Roff(label) << "\n" << Roff(option->get_description());
    if (!option->get_default_str().empty()) {
      out << " (default: " << Roff(option->get_default_str()) << ")";
    }
    out << "\n";
  }
}

void ManCommand(std::ostream& out, const CLI::App* app) {
  const auto subcommands = app->get_subcommands({});
  if (!subcommands.empty() && app->get_parent() != nullptr) {
    for (const CLI::App* sub : subcommands) ManCommand(out, sub);
    return;
  }
  out << ".SS \"" << Roff(FullName(app)) << "\"\n" << Roff(app->get_description()) << "\n";
  for (const std::string& alias : app->get_aliases()) {
    out << "Also: " << Roff("kel " + alias) << ".\n";
  }
  ManOptions(out, app);
}

void WriteMan(std::ostream& out, const CLI::App& app) {
  out << ".TH KEL 1 \"\" \"Ringwell " << ringwell::kVersion << "\" \"User Commands\"\n"
      << ".SH NAME\nkel \\- " << Roff(app.get_description().substr(5)) << "\n"
      << ".SH SYNOPSIS\n.B kel\n[\\fB\\-\\-root\\fR \\fIDIR\\fR] \\fISUBCOMMAND\\fR "
         "[\\fIOPTIONS\\fR]\n"
      << ".br\n.B kel help\n[\\fISUBCOMMAND\\fR]\n"
      << ".SH DESCRIPTION\n"
      << "kel submits requests to the Ringwell notification system, lists them, follows their "
         "reports and cancels them; it also keeps the store of recorded wav files and renders "
         "what a recipient will hear (say, preview), with the speech and audio format of the "
         "installation.\n"
      << "Options of kel itself may stand anywhere on the command line.\n"
      << ".SH OPTIONS\n";
  ManOptions(out, &app);
  out << ".TP\n.B \\-\\-version\nPrint the version and exit.\n.SH COMMANDS\n";
  for (const CLI::App* sub : app.get_subcommands({})) ManCommand(out, sub);
  out << ".SH TIMES\n"
      << "Times are now, a moment relative to now (+90s, +30m, +1h, +1d), or ISO 8601 "
         "(2026\\-12\\-07T18:00:00Z, 2026\\-12\\-07T19:00:00+01:00). A time without a zone is "
         "in the installation's time zone: the registry value TimeZone (an IANA name such as "
         "Europe/Berlin) under SOFTWARE\\eCorvane\\eRingwell, else the system's zone. Tables "
         "show times in the user's zone (TZ); JSON gives them with their UTC offset.\n"
      << ".SH EXIT STATUS\n"
      << Roff(ringwell::kel::cli::ExitCodeText()) << "\n"
      << ".SH ENVIRONMENT\n.TP\n.B RINGWELL_REGISTRY\nThe registry file (default "
         "/etc/ringwell/registry.toml), which names the storage root and the time zone.\n"
      << ".TP\n.B TZ\nThe zone in which tables show times.\n";
}

// The words to offer after `app`: its subcommands and options.
std::string Words(const CLI::App* app) {
  std::string words;
  for (const CLI::App* sub : app->get_subcommands({})) {
    words += sub->get_name() + " ";
    for (const std::string& alias : sub->get_aliases()) words += alias + " ";
  }
  for (const CLI::Option* option : app->get_options()) {
    const std::string name = option->get_name();
    if (!option->get_positional() && name != "--help" && name != "--root") words += name + " ";
  }
  return words;
}

void BashCases(std::ostream& out, const CLI::App* app, const std::string& path) {
  out << "    \"" << path << "\") words=\"" << Words(app) << "\" ;;\n";
  for (const CLI::App* sub : app->get_subcommands({})) {
    BashCases(out, sub, path.empty() ? sub->get_name() : path + " " + sub->get_name());
    for (const std::string& alias : sub->get_aliases()) {
      BashCases(out, sub, path.empty() ? alias : path + " " + alias);
    }
  }
}

void WriteBash(std::ostream& out, const CLI::App& app) {
  out << "# bash completion for kel (generated from its command-line definition)\n"
         "_kel() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  case $prev in\n"
         "    --root) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
         "    --play|add|-o|--output) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
         "    --status) COMPREPLY=($(compgen -W \"Processing Scheduled InProgress Completed "
         "Canceled InternalError ErrorNoFile ErrorConvertFile ErrorGenerateVoiceFile\" -- "
         "\"$cur\")); return ;;\n"
         "  esac\n"
         "  local path=\"\" i word words\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    word=${COMP_WORDS[i]}\n"
         "    if [[ $word == --root ]]; then ((i++)); continue; fi\n"
         "    [[ $word == -* ]] && continue\n"
         "    case \" $(_kel_words \"$path\") \" in *\" $word \"*) path=${path:+$path }$word ;; "
         "esac\n"
         "  done\n"
         "  words=$(_kel_words \"$path\")\n"
         "  if [[ $path == help* ]]; then words=$(_kel_words \"${path#help}\"); words=${words// "
         "-*/}; fi\n"
         "  COMPREPLY=($(compgen -W \"$words --root --help\" -- \"$cur\"))\n"
         "  [[ ($path == submit || $path == preview) && $cur != -* ]] && COMPREPLY+=($(compgen -f "
         "-- "
         "\"$cur\"))\n"
         "}\n"
         "_kel_words() {\n"
         "  local words\n"
         "  case ${1# } in\n";
  BashCases(out, &app, "");
  out << "  esac\n  echo \"$words\"\n}\ncomplete -F _kel kel\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kel-docgen man|bash FILE\n");
    return 2;
  }
  Options options;
  auto app = DefineCli(options);
  std::ostringstream text;
  const std::string kind = argv[1];
  if (kind == "man") {
    WriteMan(text, *app);
  } else if (kind == "bash") {
    WriteBash(text, *app);
  } else {
    std::fprintf(stderr, "kel-docgen: unknown kind %s\n", argv[1]);
    return 2;
  }
  std::ofstream out(argv[2]);
  out << text.str();
  return out ? 0 : 1;
}
