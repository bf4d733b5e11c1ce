// kel: the command-line client of the Ringwell toolkit. `kel help` and the
// manual page (generated from the same definition) describe its use.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "cli_definition.h"
#include "commands.h"
#include "ringwell/common/storage.h"
#include "ringwell/setup/checks.h"
#include "ringwell/setup/plain_words.h"
#include "toolkit.h"

namespace {

using namespace ringwell::kel::cli;
using namespace ringwell::kel::client;

// A usage error: the message, then where help is; exit code 2.
int Usage(const std::string& message) {
  std::fprintf(stderr, "kel: %s\nRun 'kel help' or 'kel help SUBCOMMAND' for usage.\n",
               message.c_str());
  return kExitUsage;
}

CLI::App* Subcommand(CLI::App& app, const std::string& name) {
  for (CLI::App* candidate : app.get_subcommands({})) {
    if (candidate->check_name(name)) return candidate;
  }
  return nullptr;
}

// Names what is wrong when a subcommand is missing: an unknown option or
// subcommand in its place, or nothing at all.
int ParseFailure(CLI::App& app, const CLI::ParseError& error, int argc, char** argv) {
  if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
  CLI::App* deepest = &app;
  std::string chain;
  while (!deepest->get_subcommands().empty()) {
    deepest = deepest->get_subcommands().front();
    chain += deepest->get_name() + " ";
  }
  if (deepest->get_require_subcommand_min() == 0 || !deepest->get_subcommands().empty()) {
    return Usage(error.what());
  }
  // The first word that is neither --root with its value nor a known command.
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--root") {
      ++i;
    } else if (word.rfind("--root=", 0) == 0 || chain.find(word + " ") != std::string::npos) {
      continue;
    } else if (word[0] == '-') {
      return Usage("unknown option " + word);
    } else if (Subcommand(*deepest, word) == nullptr) {
      return Usage("unknown subcommand " + chain + word);
    }
  }
  return Usage(chain.empty() ? "a subcommand is required"
                             : "a subcommand of " + chain + "is required");
}

// `kel help [SUBCOMMAND [SUBCOMMAND]]`.
int Help(CLI::App& app, const std::vector<std::string>& topic) {
  CLI::App* about = &app;
  for (const auto& name : topic) {
    CLI::App* sub = Subcommand(*about, name);
    if (sub == nullptr) return Usage("no help on " + name + ": unknown subcommand");
    about = sub;
  }
  std::fputs(about->help().c_str(), stdout);
  return kExitOk;
}

void NoteRequestFlags(CLI::App& submit, SubmitOptions& options) {
  for (const char* flag :
       {"--to", "--say", "--play", "--voice", "--from", "--until", "--page", "--service", "--rings",
        "--retries", "--retry-delay", "--busy", "--no-answer", "--error", "--max-greeting"}) {
    if (submit.count(flag) > 0) options.given_flags.emplace_back(flag);
  }
  for (const CLI::Option* option : submit.parse_order()) {
    if (option->get_name() == "--say") options.part_order += 's';
    if (option->get_name() == "--play") options.part_order += 'p';
  }
}

// After a failure: when this user may not use the storage root because only
// the members of its group may, says so and how to become one.
void ExplainTheGroup(ringwell::kel::IKelService* service) {
  std::string root;
  if (service == nullptr || ringwell::Failed(service->get_Location(&root)) || root.empty()) return;
  const std::string inbox = ringwell::StorageLayout{ringwell::NormaliseRoot(root)}.InboxDir();
  struct stat st {};
  if (::stat(inbox.c_str(), &st) != 0 || ::access(inbox.c_str(), R_OK | W_OK | X_OK) == 0) return;
  const group* entry = ::getgrgid(st.st_gid);
  if (entry == nullptr || (st.st_mode & S_IRWXG) != S_IRWXG) return;
  const std::string group_name = entry->gr_name;
  const passwd* user = ::getpwuid(::geteuid());
  std::fprintf(stderr,
               "kel: only members of the group %s may use the storage root %s; an administrator "
               "adds you with: adduser %s %s (it counts from your next login)\n",
               group_name.c_str(), root.c_str(), user != nullptr ? user->pw_name : "USER",
               group_name.c_str());
}

// The first problem of the registry, the time zone or the storage root (`root` when given,
// else RootDir) that keeps kel from working, as the programs of the
// installation name it: what, where, and the command that fixes it. A
// directory this user may not use is left to the failure it causes (see
// ExplainTheGroup); with --root, kel works without a registry.
std::optional<ringwell::setup::Problem> ConfigurationProblem(const std::string& root) {
  using ringwell::setup::Concern;
  for (const auto& problem :
       ringwell::setup::CheckConfiguration({.components = {}, .root = root})) {
    if (problem.concern == Concern::kRegistry || problem.concern == Concern::kStorage ||
        problem.concern == Concern::kTimeZone ||
        (problem.concern == Concern::kNoRegistry && root.empty())) {
      return problem;
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  auto app = DefineCli(options);
  try {
    app->parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return ParseFailure(*app, error, argc, argv);
  }
  CLI::App* command = app->get_subcommands().front();
  const std::string name = command->get_name();
  if (name == "help") return Help(*app, options.help_topic);
  if (name == "say") {
    // Speaks into a file of the user's: the registry's audio format is all it
    // needs of the installation.
    try {
      return Say(options.say);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kel: %s\n", ringwell::setup::PlainWords(e.what()).c_str());
      return kExitFailure;
    }
  }
  if (auto problem = ConfigurationProblem(options.root)) {
    std::fprintf(stderr, "kel: %s\n", ringwell::setup::PlainWords(problem->Line()).c_str());
    return kExitFailure;
  }

  ringwell::ComPtr<ringwell::kel::IKelService> service;
  try {
    service = OpenService(options.root);
    if (name == "submit") {
      NoteRequestFlags(*command, options.submit);
      return Submit(service.Get(), options.submit);
    }
    if (name == "preview") return Preview(service.Get(), options.preview);
    if (name == "report") return Report(service.Get(), options.report);
    if (name == "ls") return List(service.Get(), options.list);
    if (name == "cancel") return Cancel(service.Get(), options.cancel_id);
    const std::string action = command->get_subcommands().front()->get_name();
    if (action == "add")
      return FilesAdd(service.Get(), options.files.path, options.files.overwrite);
    if (action == "rm") return FilesRemove(service.Get(), options.files.name);
    if (action == "info") return FilesInfo(service.Get(), options.files.name);
    return FilesList(service.Get());
  } catch (const UsageFailure& failure) {
    return Usage(failure.what());
  } catch (const std::exception& e) {
    // The toolkit's descriptions, in plain words.
    std::fprintf(stderr, "kel: %s\n", ringwell::setup::PlainWords(e.what()).c_str());
    ExplainTheGroup(service.Get());
    return kExitFailure;
  }
}
