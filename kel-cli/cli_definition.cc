#include "cli_definition.h"

#include "ringwell/common/version.h"

namespace ringwell::kel::cli {
namespace {

constexpr char kExitCodes[] =
    "Exit codes: 0 done (report --wait: every recipient reached); 1 refused or failed; "
    "2 wrong command line; 3 report --wait: the request ended without reaching every "
    "recipient (a failed or canceled recipient, or an error status); 4 report --wait: "
    "not finished within --timeout.";

void DefineSubmit(CLI::App& app, SubmitOptions& o) {
  CLI::App* submit = app.add_subcommand(
      "submit",
      "Submit a request and print its identifier. The request is either a JSON description "
      "(a file, or - for standard input) or given by the flags below; nothing is written "
      "unless the whole request is accepted.");
  submit->footer(kExitCodes);
  submit->add_option("file", o.file, "Request description (JSON; - reads standard input)");
  submit->add_option("--to", o.to,
                     "Number to call or page: digits, +, *, #, blanks, -, ., ( ), "
                     "or a sip:/sips: address; for --page also a mail address (repeatable)");
  submit->add_option("--say", o.say, "Text to speak (repeatable)");
  submit->add_option("--play", o.play,
                     "Wav file to play: a path (stored in the file store first) or the name of "
                     "a stored file (repeatable)");
  submit->add_option("--voice", o.voice, "Voice of the spoken texts: Male, Female or a voice name");
  submit
      ->add_option("--from", o.from,
                   "Start of the window: now, +30m, +1h, +1d, or an ISO 8601 time such as "
                   "2026-12-07T18:00:00Z, 2026-12-07T19:00:00+01:00 (without zone: the "
                   "installation's time zone)")
      ->capture_default_str();
  submit->add_option("--until", o.until, "End of the window, written like --from")
      ->capture_default_str();
  submit->add_flag("--page", o.page, "Send pages instead of calling");
  submit->add_option("--service", o.service, "Pager service for every recipient");
  submit->add_flag("--overwrite", o.overwrite,
                   "Replace a stored file of the same name as a --play or \"play\" file");
  submit->add_option("--rings", o.rings, "Rings before a call counts as not answered (default 7)")
      ->type_name("N")
      ->check(CLI::Range(1, 1000).description(""));
  submit
      ->add_option("--retries", o.retries,
                   "Further attempts after a busy line, no answer and a line error alike "
                   "(default: 3 busy, 3 no answer, 0 error)")
      ->type_name("N")
      ->check(CLI::Range(0, 1000).description(""));
  submit
      ->add_option("--retry-delay", o.retry_delay,
                   "Minutes between the attempts, for all three (default: 10 busy, 30 no "
                   "answer, 1 error)")
      ->type_name("MINUTES")
      ->check(CLI::Range(1, 100000).description(""));
  submit
      ->add_option("--busy", o.busy,
                   "Attempts after a busy line and, optionally, the minutes between them, "
                   "e.g. 5,2 (the request description's \"busy\")")
      ->type_name("N[,MINUTES]");
  submit->add_option("--no-answer", o.no_answer, "The same when nobody answers (\"noAnswer\")")
      ->type_name("N[,MINUTES]");
  submit->add_option("--error", o.error, "The same after a line error (\"error\")")
      ->type_name("N[,MINUTES]");
  submit
      ->add_option("--max-greeting", o.max_greeting,
                   "Longest greeting of the callee, in seconds, before the message starts "
                   "(default 15)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0, 3600).description(""));
  submit->add_flag("--dry-run", o.dry_run,
                   "Check the whole request and show what would be submitted (recipients, the "
                   "window in your time zone, retries, the message parts); write nothing");
}

void DefineSay(CLI::App& app, SayOptions& o) {
  CLI::App* say = app.add_subcommand(
      "say",
      "Speak a text into a wav file exactly as a recipient will hear it: the speech of the "
      "daemon, in the installation's telephony audio format (AudioFormat).");
  say->footer(kExitCodes);
  say->add_option("text", o.text, "The text to speak")->required();
  say->add_option("-o,--output", o.output, "The wav file to write")
      ->type_name("FILE.wav")
      ->required();
  say->add_option("--voice", o.voice, "Male, Female or a voice name (as in a request)");
  say->add_option("--volume", o.volume, "Volume 0-100")
      ->capture_default_str()
      ->check(CLI::Range(0, 100).description(""));
  say->add_option("--rate", o.rate, "Speech rate -10..10 (default: the engine's)")
      ->check(CLI::Range(-10, 10).description(""));
}

void DefinePreview(CLI::App& app, PreviewOptions& o) {
  CLI::App* preview = app.add_subcommand(
      "preview",
      "Check a request description as submit does and write the audio of each message part "
      "of its call tree as a recipient will hear it, one wav file per part, named after where "
      "it is played (message-part1.wav, key1-part1.wav: after key 1, ...); prints the list. "
      "Nothing is submitted.");
  preview->footer(kExitCodes);
  preview->add_option("file", o.file, "Request description (JSON; - reads standard input)")
      ->required();
  preview->add_option("-o,--output", o.output, "The directory to write into (made if missing)")
      ->type_name("DIR")
      ->required();
}

void DefineReport(CLI::App& app, ReportOptions& o) {
  CLI::App* report = app.add_subcommand(
      "report",
      "Show a request's report: overall status and its outcome (\"delivered to 0 of 1: window "
      "ended before any call\": recipients reached, failed and pending), window, the message "
      "parts (their texts and recordings, kept in the report after the request is done), each "
      "recipient's status, next attempt and calls, with the text or file each played part came "
      "from. An identifier is taken with or without braces, in any case.");
  report->footer(kExitCodes);
  report->add_option("id", o.id, "Request identifier (braces and letter case optional)")
      ->required();
  report->add_flag("--json", o.json, "Print JSON (times with their UTC offset)");
  report->add_flag("--wait", o.wait,
                   "Follow the report until the request is finished, then print it and a last "
                   "line with its outcome; the exit code tells whether every recipient was "
                   "reached");
  report->add_option("--interval", o.interval_ms, "Polling interval in milliseconds (10-600000)")
      ->type_name("MS")
      ->capture_default_str()
      ->check(CLI::Range(10, 600000).description(""));
  report
      ->add_option("--timeout", o.timeout_s,
                   "With --wait: give up after this many seconds (0: no limit)")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::Range(0, 30 * 86400).description(""));
}

void DefineList(CLI::App& app, ListOptions& o) {
  CLI::App* list = app.add_subcommand(
      "ls",
      "List requests, newest first: ID, type, status, recipients reached (of all), failed and "
      "pending, window (kept in the report once the request is done) and last change; --json "
      "adds the outcome");
  list->alias("list");
  list->add_option("--status", o.status,
                   "Only requests with this status (repeatable; e.g. Scheduled, Completed, "
                   "Canceled, InProgress, an error status, or Waiting for a request still in "
                   "Inbox; another word is refused)");
  list->add_flag("--json", o.json, "Print JSON (times with their UTC offset)");
  list->add_option("--limit", o.limit, "Show at most this many requests (0: all)")
      ->type_name("N")
      ->capture_default_str();
}

void DefineFiles(CLI::App& app, FilesOptions& o) {
  CLI::App* files = app.add_subcommand("files", "The store of recorded wav files");
  files->require_subcommand(1);
  CLI::App* add = files->add_subcommand("add", "Store a wav file");
  add->add_option("path", o.path, "The wav file")->required();
  add->add_flag("--overwrite", o.overwrite, "Replace a stored file of the same name");
  CLI::App* rm = files->add_subcommand("rm", "Remove a stored file");
  rm->add_option("name", o.name, "Stored file name")->required();
  CLI::App* info = files->add_subcommand("info", "Describe a stored file");
  info->add_option("name", o.name, "Stored file name")->required();
  files->add_subcommand("ls", "List the stored wav files");
}

// Usage lines name the whole command: "kel files add".
class Formatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* app, std::string) const override {
    std::string name = app->get_name();
    for (const CLI::App* parent = app->get_parent(); parent != nullptr;
         parent = parent->get_parent()) {
      name = parent->get_name() + " " + name;
    }
    return CLI::Formatter::make_usage(app, name);
  }
};

}  // namespace

const char* ExitCodeText() { return kExitCodes; }

std::unique_ptr<CLI::App> DefineCli(Options& options) {
  auto app = std::make_unique<CLI::App>(
      "kel: submit spoken telephone notifications and pages, list, follow and cancel them", "kel");
  app->formatter(std::make_shared<Formatter>());
  app->set_version_flag("--version", std::string("kel ") + kVersion);
  app->require_subcommand(1);
  // Options of the program (--root) are accepted after a subcommand too.
  app->fallthrough();
  app->add_option("--root", options.root,
                  "Storage root to work on (default: the RootDir of the registry)");
  DefineSubmit(*app, options.submit);
  DefineSay(*app, options.say);
  DefinePreview(*app, options.preview);
  DefineReport(*app, options.report);
  DefineList(*app, options.list);
  CLI::App* cancel = app->add_subcommand(
      "cancel",
      "Cancel a request: one still in Inbox is withdrawn before the daemon schedules it (also "
      "while it is being prepared: nobody is called); a scheduled one is canceled, saying how "
      "many recipients had already been called (a call in progress goes on to its end); a "
      "finished one is left as it is, saying its status and outcome (exit code 1)");
  cancel
      ->add_option("id", options.cancel_id, "Request identifier (braces and letter case optional)")
      ->required();
  DefineFiles(*app, options.files);
  CLI::App* help = app->add_subcommand("help", "Show the help of kel or of a subcommand");
  help->add_option("subcommand", options.help_topic, "Subcommand, e.g. submit or files add");
  app->footer(kExitCodes);
  return app;
}

}  // namespace ringwell::kel::cli
