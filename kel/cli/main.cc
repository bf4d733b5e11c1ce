// kel: the command-line client of the Ringwell toolkit.
//
//   kel submit request.json                     submit a described request
//   kel submit --to 5551234 --say "..." --until +1h
//   kel report ID [--json] [--wait]             show or follow a report
//   kel cancel ID                               cancel a scheduled request
//   kel files add|rm|info|ls                    the store of recorded wav files
//
// --root DIR works on that storage root instead of the configured one.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "commands.h"
#include "toolkit.h"

int main(int argc, char** argv) {
  using namespace ringwell::kel::cli;
  CLI::App app{"kel: submit spoken telephone notifications and pages, follow and cancel them"};
  app.require_subcommand(1);
  std::string root;
  app.add_option("--root", root, "Storage root (default: the configured RootDir)");

  SubmitOptions submit;
  CLI::App* submit_command =
      app.add_subcommand("submit", "Submit a request; prints its identifier");
  submit_command->add_option("file", submit.file, "Request description (JSON; - reads stdin)");
  submit_command->add_option("--to", submit.to, "Number to call (repeatable)");
  submit_command->add_option("--say", submit.say, "Text to speak (repeatable)");
  submit_command->add_option("--play", submit.play, "Recorded wav file to play (repeatable)");
  submit_command->add_option("--voice", submit.voice, "Voice: Male, Female or a voice name");
  submit_command->add_option("--from", submit.from, "Start of the window (now, +10m, ISO time)");
  submit_command->add_option("--until", submit.until, "End of the window (+1h, ISO time)");
  submit_command->add_flag("--page", submit.page, "Send pages instead of calling");
  submit_command->add_option("--service", submit.service, "Pager service for every recipient");

  ReportOptions report;
  CLI::App* report_command = app.add_subcommand("report", "Show a request's report");
  report_command->add_option("id", report.id, "Request identifier")->required();
  report_command->add_flag("--json", report.json, "Print JSON");
  report_command->add_flag("--wait", report.wait, "Follow the report until the request is done");
  report_command->add_option("--interval", report.interval_ms, "Polling interval in ms");
  report_command->add_option("--timeout", report.timeout_s, "Give up after this many seconds");

  std::string cancel_id;
  CLI::App* cancel_command = app.add_subcommand("cancel", "Cancel a scheduled request");
  cancel_command->add_option("id", cancel_id, "Request identifier")->required();

  CLI::App* files = app.add_subcommand("files", "The store of recorded wav files");
  files->require_subcommand(1);
  std::string file_path;
  bool overwrite = false;
  CLI::App* files_add = files->add_subcommand("add", "Store a wav file");
  files_add->add_option("path", file_path, "The wav file")->required();
  files_add->add_flag("--overwrite", overwrite, "Replace a stored file of the same name");
  std::string file_name;
  CLI::App* files_rm = files->add_subcommand("rm", "Remove a stored file");
  files_rm->add_option("name", file_name, "Stored file name")->required();
  CLI::App* files_info = files->add_subcommand("info", "Describe a stored file");
  files_info->add_option("name", file_name, "Stored file name")->required();
  CLI::App* files_ls = files->add_subcommand("ls", "List the stored wav files");

  CLI11_PARSE(app, argc, argv);

  try {
    auto service = OpenService(root);
    if (*submit_command) return Submit(service.Get(), submit);
    if (*report_command) return Report(service.Get(), report);
    if (*cancel_command) return Cancel(service.Get(), cancel_id);
    if (*files_add) return FilesAdd(service.Get(), file_path, overwrite);
    if (*files_rm) return FilesRemove(service.Get(), file_name);
    if (*files_info) return FilesInfo(service.Get(), file_name);
    if (*files_ls) return FilesList(service.Get());
  } catch (const Failure& failure) {
    std::fprintf(stderr, "kel: %s\n", failure.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kel: %s\n", e.what());
    return 1;
  }
  return 1;
}
