// ringwell-setup: prepares this machine for Ringwell in one step, or with
// --check lists every problem it finds.
//
//   ringwell-setup [--root DIR] [--audio-format N] [--group NAME] [--systemd]
//                  [--bin-dir DIR] [--lib-dir DIR]
//   ringwell-setup --check [--root DIR]
//   ringwell-setup --help | --version
//
// (the footer of --help says the rest).
// Set-up makes the storage root with Inbox, Requests, Reports and Files/{0}
// (group NAME, default "ringwell", made when missing), writes RootDir and
// AudioFormat where they differ into its own drop-in of the registry,
// registers the component libraries and the daemon, and with --systemd
// installs the units of prepax and ringwell-host. Running it again changes
// only what is not yet as it should be.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "doctor.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/version.h"
#include "ringwell/setup/checks.h"
#include "ringwell/wavshift/audio_format.h"
#include "setup_steps.h"
#include "shared_root_check.h"

namespace {

using namespace ringwell::setup;

bool UseColour() { return ::isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr; }

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

int Check(const SetupOptions& options) {
  const Requirements requirements{.components = AllComponents(),
                                  .prepax_registered = true,
                                  .audio_format_needed = true,
                                  .root = options.root};
  std::vector<Problem> problems = CheckConfiguration(requirements);
  const std::string root = ConfiguredRoot(requirements);
  std::vector<std::string> notes;
  // The access test forks: before espeak-ng starts threads of its own.
  std::uint32_t shared = 0;
  if (ringwell::registry::Key key;
      ringwell::Succeeded(ringwell::registry::Key::Open(ringwell::kConfigKey, &key))) {
    key.QueryDword("SharedRoot", &shared);
  }
  for (auto more : {CheckServiceAccess(root, &notes), CheckFreeSpace(root), CheckSpeechVoices(),
                    CheckRunningPrograms(root, &notes), CheckSharedRoot(root, shared == 1, &notes),
                    CheckApi(options.bin_dir)}) {
    problems.insert(problems.end(), more.begin(), more.end());
  }
  const bool colour = UseColour();
  for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
  for (const Problem& problem : problems) {
    std::printf("%sproblem:%s %s\n", colour ? "\033[1;31m" : "", colour ? "\033[0m" : "",
                problem.Line().c_str());
  }
  if (problems.empty()) {
    std::printf("%sok:%s no problems found\n", colour ? "\033[1;32m" : "", colour ? "\033[0m" : "");
    return 0;
  }
  std::printf("%zu problem%s found\n", problems.size(), problems.size() == 1 ? "" : "s");
  return 1;
}

// What to do next, for the units there are.
std::string NextStep(const SetupOptions& options) {
  if (!PackagedUnit().empty()) {
    return "start the package's services with: systemctl enable --now prepax ringwell-host";
  }
  if (options.systemd) {
    return "start the services with: systemctl daemon-reload && systemctl enable --now prepax "
           "ringwell-host";
  }
  return "start prepax and ringwell-host (or run ringwell-setup --systemd to install their units)";
}

int SetUp(SetupOptions options) {
  if (!Validate(&options) || !WriteSettings(options) || !MakeStorage(options) ||
      !RegisterComponents(options) || (options.systemd && !InstallHostUnit(options))) {
    return 1;
  }
  std::vector<Problem> problems;
  for (Problem& problem : CheckConfiguration({.components = AllComponents(),
                          .prepax_registered = true,
                          .audio_format_needed = true,
                          .root = {}})) {
    // A setting no program reads keeps nothing from working: told, not failed.
    if (problem.concern == Concern::kUnknownSetting) {
      std::fprintf(stderr, "ringwell-setup: warning: %s\n", problem.Line().c_str());
      continue;
    }
    Refuse("still a problem: " + problem.Line());
    problems.push_back(std::move(problem));
  }
  if (!problems.empty()) return 1;
  Say("done; " + NextStep(options));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetupOptions options;
  const std::string bin = ringwell::DirectoryOf(ringwell::ExecutablePath());
  options.bin_dir = bin;
  options.lib_dir = InstalledLibraryDir();
  bool check = false;
  bool list_formats = false;
  CLI::App app{
      "ringwell-setup: prepares the storage root, the registry and the services in one "
      "step; --check lists every problem",
      "ringwell-setup"};
  app.add_flag("--check", check,
               "list every problem found, with the command that fixes each; change nothing");
  app.add_flag("--list-formats", list_formats,
               "list the audio format numbers --audio-format takes, and stop");
  app.add_option("--root", options.root,
                 "storage root (default: RootDir, else /var/spool/ringwell/)")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option(
      "--audio-format", options.audio_format,
      "stream format number 4-68 except 40 (default: AudioFormat, else 49: 8 kHz mu-law)");
  app.add_option("--group", options.group,
                 "group whose members may submit requests (default ringwell, made if missing)");
  app.add_flag("--systemd", options.systemd,
               "install the systemd units of prepax and ringwell-host ($RINGWELL_UNIT_DIR, else "
               "/etc/systemd/system)");
  app.add_option("--bin-dir", options.bin_dir,
                 "where prepax and ringwell-host are (default: "
                 "beside this program)");
  app.add_option("--lib-dir", options.lib_dir,
                 "where the component libraries are (default: ../lib from this program)");
  app.set_version_flag("--version", std::string("ringwell-setup ") + ringwell::kVersion);
  app.footer(
      "Set-up makes the storage root with Inbox, Requests, Reports, Files/{0}, Status and Events\n"
      "(owned by the group, mode 2770), writes RootDir and AudioFormat into its drop-in\n"
      "registry.d/ringwell-setup.toml where they differ, and registers the component libraries\n"
      "and prepax. A value set in the hand-written registry.toml is never overridden: the\n"
      "set-up stops and says where it is set. Running it again changes only what differs.\n"
      "\n"
      "--check reads the registry (every setting against its kind and range, and names no\n"
      "program reads), the storage root and its directories (as root also as the user the\n"
      "services run as: the running prepax's, else User= of its unit), the component\n"
      "registrations, the audio format and time zone, the espeak-ng voices, whether prepax\n"
      "and ringwell-host work for this storage root (their heartbeats Status/prepax.json and\n"
      "Status/ringwell-host.json, with SharedRoot = 1 this box's Status/prepax-HOST.json and\n"
      "Status/ringwell-host-HOST.json: fresh, their process alive; the other boxes' are told\n"
      "in notes), the host's lines and SIP registration, and the HTTP API (ringwell-api --check). "
      "Each problem is printed as\n"
      "\"problem: WHAT; to fix: COMMAND\"; notes start with \"note:\". Exit code 0 when there\n"
      "is none, 1 otherwise; 2 for a wrong command line.\n"
      "\n"
      "Environment: RINGWELL_REGISTRY (the registry file, default\n"
      "/etc/ringwell/registry.toml), RINGWELL_UNIT_DIR (where --systemd writes units, default\n"
      "/etc/systemd/system), NO_COLOR (plain output).");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "ringwell-setup: %s\n%s", e.what(), app.help().c_str());
    return 2;
  }
  if (list_formats) {
    for (const auto& format : ringwell::audio::AudioFormats()) {
      std::printf("%2d  %s%s\n", format.number, format.Name().c_str(),
                  format.number == 49 ? " (default)" : "");
    }
    return 0;
  }
  options.bin_dir = WithSlash(options.bin_dir);
  options.lib_dir = WithSlash(options.lib_dir);
  return check ? Check(options) : SetUp(std::move(options));
}
