// `kel ls` on a root with many reports, and reports that explain themselves:
// the window, each recipient's next attempt, the text a sound file was spoken
// from, the cause of an error status; times in the user's zone in tables and
// with the installation's offset in JSON.
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "kel_cli_fixture.h"

namespace ringwell::kel::cli {
namespace {

using ringwell::testing::ReadFile;
using ringwell::testing::WriteFile;
using testing::KelCliTest;

std::string NumberedId(int i) {
  char id[64];
  std::snprintf(id, sizeof id, "{%08d-0000-4000-8000-000000000000}", i);
  return id;
}

void SetChanged(const std::string& path, std::time_t when) {
  utimbuf times{when, when};
  ASSERT_EQ(::utime(path.c_str(), &times), 0) << path;
}

TEST_F(KelCliTest, ListShowsManyRequestsNewestFirstAndFiltersByStatus) {
  constexpr int kReports = 1500;
  const char* statuses[] = {"Completed", "Scheduled", "Canceled"};
  for (int i = 0; i < kReports; ++i) {
    const std::string path = ReportPath(NumberedId(i));
    WriteFile(path, "<Report ID=\"" + NumberedId(i) + "\" Type=\"" + (i % 2 ? "Page" : "Call") +
                        "\" Status=\"" + statuses[i % 3] +
                        "\"><SubReport Recipient=\"1\" Status=\"Completed\"/>"
                        "<SubReport Recipient=\"2\" Status=\"Scheduled\"/></Report>");
    SetChanged(path, 1'800'000'000 + i * 60);
  }
  // The newest has its request file still in Requests: its window shows.
  const std::string newest = NumberedId(kReports - 1);
  WriteFile(root() + "Requests/" + newest + ".xml",
            "<Request ID=\"" + newest +
                "\"><StartTime>2026-12-07T18:00:00</StartTime>"
                "<StopTime>2026-12-07T19:30:00</StopTime></Request>");
  WriteFile(root() + "Reports/broken.xml", "<Report");
  SetChanged(root() + "Reports/broken.xml", 1'000'000'000);
  SetConfigString("TimeZone", "Europe/Berlin");

  std::string output;
  ASSERT_EQ(Kel("ls", &output, "TZ=America/New_York"), 0) << output;
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = output.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(output.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), kReports + 3u) << output.substr(0, 2000);
  EXPECT_EQ(lines[0].rfind("ID", 0), 0u);
  // Berlin's 18:00 is New York's 12:00.
  EXPECT_EQ(lines[1], newest +
                          "  page  Canceled                1/2        0       1        "
                          "12-07 12:00 - 12-07 13:30  " +
                          "01-16 03:59")
      << lines[1];
  EXPECT_EQ(lines[2].substr(0, 38), NumberedId(kReports - 2));
  EXPECT_EQ(lines[kReports + 1].rfind("broken ", 0), 0u) << lines[kReports + 1];
  EXPECT_NE(lines[kReports + 1].find("  ?  "), std::string::npos) << lines[kReports + 1];
  EXPECT_NE(lines.back().find("1501 requests; times in EST (UTC-05:00)"), std::string::npos)
      << lines.back();

  ASSERT_EQ(Kel("list --status scheduled --limit 3 --json", &output), 0) << output;
  const auto json = nlohmann::json::parse(output);
  ASSERT_EQ(json.size(), 3u);
  EXPECT_EQ(json[0]["id"], NumberedId(kReports - 2));  // every third one is Scheduled
  EXPECT_EQ(json[2]["id"], NumberedId(kReports - 8));
  EXPECT_EQ(json[0]["status"], "Scheduled");
  EXPECT_EQ(json[0]["recipients"]["done"], 1);
  EXPECT_EQ(json[0]["recipients"]["total"], 2);
  EXPECT_EQ(json[0]["changed"].get<std::string>().substr(19), "+01:00");
  ASSERT_EQ(Kel("ls --json --limit 1", &output), 0);
  EXPECT_EQ(nlohmann::json::parse(output)[0]["window"]["start"], "2026-12-07T18:00:00+01:00");

  EXPECT_EQ(Kel("ls --root " + scratch() + "nowhere", &output), 1);
  EXPECT_EQ(output, "kel: the storage root " + scratch() +
                        "nowhere/ does not exist; to fix: ringwell-setup --root " + scratch() +
                        "nowhere/ (as root)\n");
  // A status no report can have is a mistake, not an empty list.
  EXPECT_EQ(Kel("ls --status Bogus", &output), 2);
  EXPECT_EQ(output.rfind("kel: --status: unknown status \"Bogus\" (one of Processing, Scheduled, "
                         "InProgress, Completed, Canceled,",
                         0),
            0u)
      << output;
  EXPECT_EQ(Kel("ls --status completed --status Waiting", &output), 0) << output;
}

TEST_F(KelCliTest, RequestsWaitingInTheInboxAreListedWithoutStatus) {
  std::string output;
  ASSERT_EQ(Kel("submit --to 5551234 --to 5559876 --say hi --from +1h --until +2h", &output), 0);
  const std::string id(Trim(output));
  ASSERT_EQ(Kel("ls --json", &output), 0) << output;
  const auto json = nlohmann::json::parse(output);
  ASSERT_EQ(json.size(), 1u) << output;
  EXPECT_EQ(json[0]["id"], id);
  EXPECT_EQ(json[0]["status"], "");
  EXPECT_EQ(json[0]["recipients"]["total"], 2);
  EXPECT_TRUE(json[0]["window"]["start"].is_string()) << output;
  EXPECT_EQ(Kel("report " + id, &output), 1);
  EXPECT_EQ(output, "kel: " + id + " is waiting in Inbox: the daemon has not taken it up yet\n");
}

TEST_F(KelCliTest, ReportsExplainWindowNextAttemptsSpokenTextsAndErrors) {
  SetConfigString("TimeZone", "Europe/Berlin");
  std::string output;
  const std::string id = Submitted("--from 2099-12-07T17:00:00Z --until 2099-12-07T18:00:00Z");
  // As the daemon leaves it: the text part spoken into a sound file, the
  // request moved to Requests.
  pugi::xml_document request;
  ASSERT_TRUE(request.load_file((root() + "Inbox/" + id + ".xml").c_str()));
  pugi::xml_node part = request.first_child().select_node("//MessagePart").node();
  part.attribute("Type").set_value("File");
  part.text().set("wavHoCsPV.wav");
  ASSERT_TRUE(request.save_file((root() + "Requests/" + id + ".xml").c_str(), "",
                                pugi::format_raw | pugi::format_no_declaration));
  std::filesystem::remove(root() + "Inbox/" + id + ".xml");
  ASSERT_EQ(tallier_->AddCallResult(ReportPath(id).c_str(), "5551234",
                                    "<Call Status=\"Busy\"><Time dt:dt=\"dateTime\">"
                                    "2099-12-07T18:10:00</Time><Answer>Busy</Answer>"
                                    "<Protocol>Played wavHoCsPV.wav</Protocol>"
                                    "<Duration>30</Duration></Call>"),
            S_OK);

  ASSERT_EQ(Kel("report " + id, &output, "TZ=UTC"), 0) << output;
  EXPECT_NE(output.find("Window: 2099-12-07 17:00:00 - 2099-12-07 18:00:00  (UTC (UTC+00:00))"),
            std::string::npos)
      << output;
  // Busy at 18:10 Berlin for 30 s: again 10 minutes later, 17:20:30 UTC.
  EXPECT_NE(
      output.find("5551234     Scheduled     1      2099-12-07 17:20:30 (after Busy, 10 min)"),
      std::string::npos)
      << output;
  EXPECT_NE(output.find("5559876     Scheduled     0      2099-12-07 17:00:00 (window start)"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("Played wavHoCsPV.wav (\"Disk full\")"), std::string::npos) << output;

  ASSERT_EQ(Kel("report --json " + id, &output), 0) << output;
  const auto json = nlohmann::json::parse(output);
  EXPECT_EQ(json["window"]["stop"], "2099-12-07T19:00:00+01:00");
  EXPECT_EQ(json["spokenFiles"]["wavHoCsPV.wav"], "Disk full");
  EXPECT_EQ(json["recipients"][0]["calls"][0]["time"], "2099-12-07T18:10:00+01:00");
  EXPECT_EQ(json["recipients"][0]["nextAttempt"]["time"], "2099-12-07T18:20:30+01:00");

  const std::string failed = Submitted();
  ASSERT_EQ(tallier_->UpdateStatus(ReportPath(failed).c_str(), "*", "ErrorNoFile"), S_OK);
  ASSERT_EQ(Kel("report " + failed, &output), 0) << output;
  EXPECT_NE(output.find("Cause:  a file to play was not in the file store when the request was "
                        "prepared"),
            std::string::npos)
      << output;
}

}  // namespace
}  // namespace ringwell::kel::cli
