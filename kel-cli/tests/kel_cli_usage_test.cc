// What kel refuses, and how it answers mistakes on its command line: each
// refused request leaves the storage root as it was, every answer has its
// exit code.
#include <filesystem>

#include "kel_cli_fixture.h"
#include "ringwell/common/version.h"
#include "test_wav.h"

namespace ringwell::kel::cli {
namespace {

using ringwell::testing::ListDir;
using testing::KelCliTest;

// Every file below the root with its size, to see that nothing changed.
std::string Snapshot(const std::string& root) {
  std::string listing;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    listing += entry.path().string();
    if (entry.is_regular_file()) listing += " " + std::to_string(entry.file_size());
    listing += "\n";
  }
  return listing;
}

TEST_F(KelCliTest, RefusedRequestsNameTheFieldAndWriteNothing) {
  std::filesystem::create_directories(scratch() + "other");
  client::testing::WriteWav(scratch() + "greeting.wav");
  client::testing::WriteWav(scratch() + "other/greeting.wav", 1);
  ringwell::testing::WriteFile(scratch() + "fake.wav", "just some text");
  std::string output;
  ASSERT_EQ(Kel("files add greeting.wav", &output), 0) << output;
  auto json_file = [&](const std::string& name, const std::string& json) {
    ringwell::testing::WriteFile(scratch() + name, json);
    return name;
  };
  const struct {
    std::string arguments;
    int exit_code;
    std::string message;
  } kCases[] = {
      {"submit --to '' --say hi", 1, "kel: --to: no recipient (blank numbers are left out)\n"},
      {"submit --to 5551234", 1, "kel: nothing to say: give --say TEXT or --play FILE\n"},
      {"submit --to 'not a number!' --say hi", 1,
       "kel: --to: \"not a number!\" is not a dialable number (digits, +, *, #, blanks, -, ., / "
       "and parentheses, or a sip: address)\n"},
      {"submit --to 5551234 --say hi --until tomorrow", 1,
       "kel: --until: \"tomorrow\" is not a time (now, +30m, +1h, +1d, or ISO 8601 such as "
       "2026-12-07T18:00:00Z)\n"},
      {"submit --to 5551234 --play fake.wav", 1,
       "kel: --play: fake.wav is not a wav file: Format not recognised.\n"},
      {"submit --to 5551234 --play absent.wav", 1,
       "kel: --play: no file \"absent.wav\" is stored, and there is no such file here\n"},
      {"submit --to 5551234 --play other/greeting.wav", 1,
       "kel: --play: a different file named greeting.wav is stored already (--overwrite "
       "replaces it)\n"},
      {"submit --to 5551234 --play greeting.wav --play other/greeting.wav --overwrite", 1,
       "kel: --play: two different files named greeting.wav cannot both be stored\n"},
      {"submit " + json_file("typo.json", R"({"recipients": ["1"], "mesage": "hi"})"), 1,
       "kel: request description: mesage: unknown key\n"},
      {"submit " + json_file("string.json", R"({"recipients": ["1"], "message": "hi"})"), 1,
       "kel: request description: message: must be an object or a list of parts, not a text\n"},
      // The file would be stored, but the request is refused: it is not.
      {"submit " + json_file("late.json", R"({"recipients": ["1"], "message": [{"play": ")" +
                                              scratch() + R"(other/new.wav"}], "rings": -1})"),
       1, "kel: rings: Invalid property  value for property: NumberOfRings = -1.\n"},
      {"submit " + json_file("ok.json", R"({"recipients": ["1"], "message": ["hi"]})") +
           " --to 5551234",
       2,
       "kel: --to cannot be combined with a request file (ok.json); write it into the file "
       "instead\nRun 'kel help' or 'kel help SUBCOMMAND' for usage.\n"},
      {"submit " + json_file("callback.json", R"({"recipients": ["1"], "message": ["hi"],
                                                   "statusCallback": "https://hooks.example/"})"),
       1,
       "kel: request description: statusCallback: only a request submitted through the HTTP API "
       "(ringwell-api) gets status callbacks\n"},
      {"submit - < " + json_file("list.json", "[1]"), 1,
       "kel: request description: must be a JSON object, not a list\n"},
      // Nesting is refused while the text is parsed, long before memory runs
      // short: 100,000 levels are 200 KB of text.
      {"submit " + json_file("deep.json", std::string(300, '[') + std::string(300, ']')), 1,
       "kel: deep.json: JSON nested deeper than 150 levels\n"},
      {"submit " +
           json_file("deeper.json", R"({"recipients": ["1"], "responses": )" +
                                        std::string(100000, '[') + std::string(100000, ']') + "}"),
       1, "kel: deeper.json: JSON nested deeper than 150 levels\n"},
  };
  client::testing::WriteWav(scratch() + "other/new.wav", 2);
  const std::string before = Snapshot(root());
  for (const auto& c : kCases) {
    EXPECT_EQ(Kel(c.arguments, &output), c.exit_code) << c.arguments;
    EXPECT_EQ(output, c.message) << c.arguments;
    EXPECT_EQ(Snapshot(root()), before) << c.arguments;
  }

  // Accepted: blanks dropped, the stored file kept as it is, or replaced on request.
  ASSERT_EQ(Kel("submit --to '' --to 5551234 --play greeting.wav --say hi", &output), 0) << output;
  EXPECT_EQ(ListDir(root() + "Inbox").size(), 1u);
  ASSERT_EQ(Kel("submit --to 5551234 --play other/greeting.wav --overwrite", &output), 0) << output;
  EXPECT_EQ(ringwell::testing::ReadFile(root() + "Files/{0}/greeting.wav"),
            ringwell::testing::ReadFile(scratch() + "other/greeting.wav"));
}

// A recording the converter would refuse is refused when it is stored or
// played, before it can reach a request: here the one a fuzzer found to
// crash the converter (IEEE float, 15 channels, 17,536 Hz, a block align of 2
// bytes). A name outside the store's character set is refused alike, by
// `files add` and by --play.
TEST_F(KelCliTest, RecordingsAndNamesAreCheckedBeforeTheyAreStored) {
  auto put = [](std::string* out, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) *out += static_cast<char>(value >> (8 * i));
  };
  std::string crafted = "RIFF";
  put(&crafted, 4 + 24 + 8 + 240, 4);
  crafted += "WAVEfmt ";
  for (const auto& [value, size] : std::initializer_list<std::pair<std::uint32_t, int>>{
           {16, 4}, {3, 2}, {15, 2}, {17536, 4}, {17536 * 2, 4}, {2, 2}, {32, 2}}) {
    put(&crafted, value, size);
  }
  crafted += "data";
  put(&crafted, 240, 4);
  for (int i = 0; i < 60; ++i) put(&crafted, 0x7F61B1E6, 4);  // 3e38
  ringwell::testing::WriteFile(scratch() + "crafted.wav", crafted);
  client::testing::WriteWav(scratch() + "<img src=x onerror=alert(1)>.wav");
  const std::string refused_recording =
      "crafted.wav cannot be converted for the lines: The file states a block align of 2 "
      "bytes, but a frame of 15 channels of 32-bit samples takes 60 bytes.\n";
  const std::string refused_name =
      "\"<img src=x onerror=alert(1)>.wav\" is not a name for a stored file: at most 200 "
      "characters, only letters, digits, blanks and . _ - + ( ), not starting with a dot, a "
      "dash or a blank\n";
  const struct {
    std::string arguments;
    std::string message;
  } kCases[] = {
      {"files add crafted.wav", "kel: " + refused_recording},
      {"submit --to 5551234 --play crafted.wav", "kel: --play: " + refused_recording},
      {"files add '<img src=x onerror=alert(1)>.wav'", "kel: " + refused_name},
      {"submit --to 5551234 --play '<img src=x onerror=alert(1)>.wav'",
       "kel: --play: " + refused_name},
  };
  std::string output;
  for (const auto& c : kCases) {
    EXPECT_EQ(Kel(c.arguments, &output), 1) << c.arguments;
    EXPECT_EQ(output, c.message) << c.arguments;
  }
  EXPECT_TRUE(ListDir(root() + "Files/{0}").empty());
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
}

TEST_F(KelCliTest, CommandLineMistakesAndConventions) {
  const std::string help = "Run 'kel help' or 'kel help SUBCOMMAND' for usage.\n";
  const struct {
    std::string arguments;
    int exit_code;
    std::string output;  // the whole output, or its start when it ends in "..."
  } kCases[] = {
      {"", 2, "kel: a subcommand is required\n" + help},
      {"--bogus", 2, "kel: unknown option --bogus\n" + help},
      {"frobnicate", 2, "kel: unknown subcommand frobnicate\n" + help},
      {"--root /tmp files frob", 2, "kel: unknown subcommand files frob\n" + help},
      {"submit --bogus --to 1", 2,
       "kel: The following argument was not expected: --bogus\n" + help},
      {"report", 2, "kel: id is required\n" + help},
      {"report --timeout -1 x", 2, "kel: --timeout: Value -1 not in range 0 to 2592000\n" + help},
      {"--version", 0, std::string("kel ") + kVersion + "\n"},
      {"help submit", 0, "Submit a request and print its identifier...."},
      {"help files add", 0, "Store a wav file\nUsage: kel files add [OPTIONS] path\n..."},
      {"help nothing", 2, "kel: no help on nothing: unknown subcommand\n" + help},
  };
  std::string output;
  for (const auto& c : kCases) {
    EXPECT_EQ(Kel(c.arguments, &output), c.exit_code) << c.arguments;
    if (c.output.size() > 3 && c.output.substr(c.output.size() - 3) == "...") {
      EXPECT_EQ(output.substr(0, c.output.size() - 3), c.output.substr(0, c.output.size() - 3));
    } else {
      EXPECT_EQ(output, c.output) << c.arguments;
    }
  }
  // Help shows the defaults.
  ASSERT_EQ(Kel("submit --help", &output), 0);
  EXPECT_NE(output.find("--until TEXT=+1h"), std::string::npos) << output;
  EXPECT_NE(output.find("Usage: kel submit"), std::string::npos) << output;
  ASSERT_EQ(Kel("help report", &output), 0);
  EXPECT_NE(output.find("--timeout SECONDS=3600"), std::string::npos) << output;

  // The manual page and the completion come from the same definition.
  const std::string man = scratch() + "kel.1";
  const std::string bash = scratch() + "kel.bash";
  ASSERT_EQ(
      ringwell::testing::RunProgram({ringwell::testing::ProgramPath("kel-docgen"), "man", man}), 0);
  ASSERT_EQ(
      ringwell::testing::RunProgram({ringwell::testing::ProgramPath("kel-docgen"), "bash", bash}),
      0);
  const std::string page = ringwell::testing::ReadFile(man);
  for (const char* expected :
       {".SS \"kel files add\"",
        ".B \\-\\-until TEXT\nEnd of the window, "
        "written like \\-\\-from (default: +1h)",
        "Also: kel list.", "4 report \\-\\-wait: not finished within \\-\\-timeout.",
        ".SS \"kel say\"", ".SS \"kel preview\"", ".B \\-\\-dry\\-run\n", ".B \\-\\-retries N\n",
        ".B \\-\\-busy N[,MINUTES]\n"}) {
    EXPECT_NE(page.find(expected), std::string::npos) << expected;
  }
  const std::string completion = ringwell::testing::ReadFile(bash);
  EXPECT_NE(completion.find("\"files\") words=\"add rm info ls \" ;;"), std::string::npos);
  EXPECT_NE(completion.find("\"list\") words=\"--status --json --limit \" ;;"), std::string::npos);
  EXPECT_NE(completion.find("\"say\") words=\"--output --voice --volume --rate \" ;;"),
            std::string::npos)
      << completion;
  EXPECT_NE(completion.find("--rings --retries --retry-delay --busy --no-answer --error "
                            "--max-greeting --dry-run"),
            std::string::npos)
      << completion;

  // --root works after the subcommand as well.
  const std::string other = scratch() + "other/";
  for (const char* dir : {"Inbox", "Requests", "Reports", "Files/{0}"}) {
    std::filesystem::create_directories(other + dir);
  }
  ASSERT_EQ(Kel("submit --to 5551234 --say hi --root " + other, &output), 0) << output;
  EXPECT_EQ(ListDir(other + "Inbox").size(), 1u);
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
}

// A link planted in the file store where kel compares a stored recording
// with the one to play is never followed: the answer does not depend on what
// the link points to, so it tells nothing about a file the planter cannot
// read, and --overwrite replaces the link, not its target.
TEST_F(KelCliTest, APlantedLinkInTheFileStoreIsNeverFollowed) {
  for (const char* dir : {"private", "right", "wrong"}) {
    std::filesystem::create_directories(scratch() + dir);
  }
  client::testing::WriteWav(scratch() + "private/secret.wav", 1);
  client::testing::WriteWav(scratch() + "right/secret.wav", 1);  // a right guess of it
  client::testing::WriteWav(scratch() + "wrong/secret.wav", 2);
  const std::string secret = ringwell::testing::ReadFile(scratch() + "private/secret.wav");
  std::filesystem::create_symlink(scratch() + "private/secret.wav",
                                  root() + "Files/{0}/secret.wav");
  std::string right;
  std::string wrong;
  EXPECT_EQ(Kel("submit --to 5551234 --play right/secret.wav", &right), 1);
  EXPECT_EQ(Kel("submit --to 5551234 --play wrong/secret.wav", &wrong), 1);
  EXPECT_EQ(right,
            "kel: --play: a different file named secret.wav is stored already (--overwrite "
            "replaces it)\n");
  EXPECT_EQ(wrong, right);
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());

  std::string output;
  ASSERT_EQ(Kel("submit --to 5551234 --play right/secret.wav --overwrite", &output), 0) << output;
  EXPECT_FALSE(std::filesystem::is_symlink(root() + "Files/{0}/secret.wav"));
  EXPECT_EQ(ringwell::testing::ReadFile(root() + "Files/{0}/secret.wav"), secret);
  EXPECT_EQ(ringwell::testing::ReadFile(scratch() + "private/secret.wav"), secret);
}

TEST_F(KelCliTest, WaitingTellsHowTheRequestEnded) {
  std::string output;
  const std::string id = Submitted();
  for (const char* number : {"5551234", "5559876"}) {
    ASSERT_EQ(tallier_->UpdateStatus(ReportPath(id).c_str(), number, "Completed"), S_OK);
  }
  // Not finished yet: the timeout runs out.
  EXPECT_EQ(Kel("report --wait --interval 50 --timeout 1 " + id, &output), 4);
  EXPECT_NE(output.find("is not finished after 1 s"), std::string::npos) << output;
  ASSERT_EQ(tallier_->UpdateStatus(ReportPath(id).c_str(), "", "Completed"), S_OK);
  EXPECT_EQ(Kel("report --wait --interval 50 " + id, &output), 0) << output;
  EXPECT_EQ(output.substr(output.rfind(id + " Completed")),
            id + " Completed: delivered to 2 of 2\n");

  const std::string failed = Submitted();
  ASSERT_EQ(tallier_->UpdateStatus(ReportPath(failed).c_str(), "*", "ErrorNoFile"), S_OK);
  EXPECT_EQ(Kel("report --wait --interval 50 " + failed, &output), 3);
  EXPECT_NE(output.find("kel: " + failed +
                        " ErrorNoFile: delivered to 0 of 2: a recording was not in the file "
                        "store\n"),
            std::string::npos)
      << output;
}

}  // namespace
}  // namespace ringwell::kel::cli
