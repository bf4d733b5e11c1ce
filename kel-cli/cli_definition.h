// The command line of kel, defined once: the parser that main runs, the help
// texts, the manual page and the bash completion all come from this
// definition. The exit codes every subcommand uses live here too.
//
// Thread-safety: the definition is built and used by the main thread.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ringwell::kel::cli {

// Exit codes of the program.
enum ExitCode : int {
  kExitOk = 0,        // done; for `report --wait`: every recipient reached
  kExitFailure = 1,   // refused, not found, or the toolkit failed
  kExitUsage = 2,     // the command line itself is wrong
  kExitNotFully = 3,  // `report --wait`: the request ended without reaching everyone
  kExitTimeout = 4,   // `report --wait`: still not finished when the timeout ran out
};

struct SubmitOptions {
  std::string file;  // a request description (JSON), "-" for standard input
  std::vector<std::string> to;
  std::vector<std::string> say;
  std::vector<std::string> play;
  std::string voice;
  std::string from = "now";
  std::string until = "+1h";
  bool page = false;
  std::string service;
  bool overwrite = false;
  bool dry_run = false;  // check and show the request, write nothing
  // How persistently recipients are called; nullopt/empty: the request's default.
  std::optional<int> rings;
  std::optional<int> retries;       // attempts after busy, no answer and error alike
  std::optional<int> retry_delay;   // minutes between them, for all three
  std::string busy;                 // "ATTEMPTS[,MINUTES]" after a busy line
  std::string no_answer;            // the same when nobody answers
  std::string error;                // the same after a line error
  std::optional<int> max_greeting;  // seconds
  // The request flags given on this command line (for example "--to"), so a
  // request file and flags that would contradict it can be refused.
  std::vector<std::string> given_flags;
  // The order of the --say and --play parts as given: "s" or "p" each.
  std::string part_order;
};

struct SayOptions {
  std::string text;
  std::string output;  // the wav file to write
  std::string voice;
  int volume = 90;  // as a request's part without a volume
  std::optional<int> rate;
};

struct PreviewOptions {
  std::string file;    // a request description (JSON), "-" for standard input
  std::string output;  // the directory to write into
};

struct ReportOptions {
  std::string id;
  bool json = false;
  bool wait = false;
  int interval_ms = 500;
  int timeout_s = 3600;  // 0: wait as long as it takes
};

struct ListOptions {
  std::vector<std::string> status;  // only reports with one of these statuses
  bool json = false;
  std::size_t limit = 0;  // 0: all
};

struct FilesOptions {
  std::string path;
  std::string name;
  bool overwrite = false;
};

struct Options {
  std::string root;
  SubmitOptions submit;
  SayOptions say;
  PreviewOptions preview;
  ReportOptions report;
  ListOptions list;
  std::string cancel_id;
  FilesOptions files;
  std::vector<std::string> help_topic;
};

// The parser with its options bound to `options`, which must outlive it.
// Subcommands are named "submit", "say", "preview", "report", "ls", "cancel", "files" (with
// "add", "rm", "info", "ls") and "help".
std::unique_ptr<CLI::App> DefineCli(Options& options);

// The text that explains the exit codes, shown in the help and the manual.
const char* ExitCodeText();

}  // namespace ringwell::kel::cli
