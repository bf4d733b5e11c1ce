// What kel tells of a request's end: whom it reached beside the status word,
// what a finished report still says of the request, and what a cancel did.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "kel_cli_fixture.h"
#include "ringwell/testing/concurrent_reader.h"

namespace ringwell::kel::cli {
namespace {

using testing::KelCliTest;

class KelOutcomeTest : public KelCliTest {
 protected:
  // Moves a submitted request to Requests as the daemon schedules it, its
  // text part spoken into `wav`; returns the request XML as scheduled.
  std::string Schedule(const std::string& id, const std::string& wav = "wavHoCsPV.wav") {
    pugi::xml_document request;
    EXPECT_TRUE(request.load_file((root() + "Inbox/" + id + ".xml").c_str()));
    pugi::xml_node part = request.first_child().select_node("//MessagePart").node();
    part.attribute("Type").set_value("File");
    part.text().set(wav.c_str());
    EXPECT_TRUE(request.save_file((root() + "Requests/" + id + ".xml").c_str(), "",
                                  pugi::format_raw | pugi::format_no_declaration));
    std::filesystem::remove(root() + "Inbox/" + id + ".xml");
    return ringwell::testing::ReadFile(root() + "Requests/" + id + ".xml");
  }
  // The scheduler's last steps: the request file goes, the report "Completed".
  void Complete(const std::string& id) {
    std::filesystem::remove(root() + "Requests/" + id + ".xml");
    ASSERT_EQ(tallier_->UpdateStatus(ReportPath(id).c_str(), "", "Completed"), S_OK);
  }
  void Call(const std::string& id, const std::string& number, const std::string& status,
            const std::string& protocol = "") {
    ASSERT_EQ(tallier_->AddCallResult(ReportPath(id).c_str(), number.c_str(),
                                      ("<Call Status=\"" + status +
                                       "\"><Time dt:dt=\"dateTime\">2026-12-07T09:30:00</Time>"
                                       "<Answer>" +
                                       status + "</Answer><Protocol>" + protocol +
                                       "</Protocol><Duration>3</Duration></Call>")
                                          .c_str()),
              S_OK);
    ASSERT_EQ(tallier_->UpdateStatus(ReportPath(id).c_str(), number.c_str(), status.c_str()), S_OK);
  }
};

TEST_F(KelOutcomeTest, ACompletedRequestThatReachedNobodySaysSoEverywhere) {
  const std::string id = Submitted();
  Schedule(id);
  // The window closed before the first number was called; the second was busy.
  ASSERT_EQ(tallier_->UpdateStatus(ReportPath(id).c_str(), "5551234", "Failed"), S_OK);
  Call(id, "5559876", "Busy");
  Complete(id);
  const std::string outcome = "delivered to 0 of 2: window ended before any call (1), busy (1)";

  std::string output;
  ASSERT_EQ(Kel("ls", &output), 0) << output;
  EXPECT_NE(output.find("ID                                      TYPE  STATUS                  "
                        "REACHED    FAILED  PENDING  WINDOW"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find(id + "  call  Completed               0/2        2       0        "),
            std::string::npos)
      << output;
  ASSERT_EQ(Kel("ls --json", &output), 0) << output;
  auto listed = nlohmann::json::parse(output)[0];
  EXPECT_EQ(listed["recipients"]["reached"], 0);
  EXPECT_EQ(listed["recipients"]["failed"], 2);
  EXPECT_EQ(listed["recipients"]["pending"], 0);
  EXPECT_EQ(listed["recipients"]["done"], 2);  // as before: final statuses
  EXPECT_EQ(listed["outcome"], outcome);

  ASSERT_EQ(Kel("report " + id, &output), 0) << output;
  EXPECT_NE(output.find("Outcome: " + outcome + "  (reached 0, failed 2, pending 0)\n"),
            std::string::npos)
      << output;
  ASSERT_EQ(Kel("report --json " + id, &output), 0) << output;
  const auto report = nlohmann::json::parse(output);
  EXPECT_EQ(report["status"], "Completed");
  EXPECT_EQ(report["outcome"], outcome);
  EXPECT_EQ(report["delivery"],
            nlohmann::json({{"reached", 0}, {"failed", 2}, {"pending", 0}, {"total", 2}}));

  EXPECT_EQ(Kel("report --wait --interval 50 " + id, &output), 3);
  EXPECT_EQ(output.substr(output.rfind("kel: ")), "kel: " + id + " Completed: " + outcome + "\n")
      << output;
}

TEST_F(KelOutcomeTest, AFinishedReportKeepsTheWindowAndWhatWasSaid) {
  SetConfigString("TimeZone", "Europe/Berlin");
  const std::string id = Submitted("--from 2099-12-07T17:00:00Z --until 2099-12-07T18:00:00Z");
  const std::string scheduled = Schedule(id);
  // What the daemon has the report generator keep when it schedules.
  ComPtr<tallier::ITallierChanges> changes;
  ASSERT_EQ(tallier_.As(&changes), S_OK);
  const tallier::ReportChange record{tallier::ReportChange::kRequestRecord, "", scheduled.c_str()};
  ASSERT_EQ(changes->ApplyChanges(ReportPath(id).c_str(), &record, 1), S_OK);
  Call(id, "5551234", "Completed", "Played wavHoCsPV.wav");
  Call(id, "5559876", "NoAnswer");
  Complete(id);
  // The report holds the new element; the toolkit's reader passes it by.
  ASSERT_NE(ringwell::testing::ReadFile(ReportPath(id)).find("<RequestRecord"), std::string::npos);

  std::string output;
  ASSERT_EQ(Kel("report " + id, &output, "TZ=UTC"), 0) << output;
  EXPECT_NE(output.find("Window: 2099-12-07 17:00:00 - 2099-12-07 18:00:00  (UTC"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("Message:\n    first message: \"Disk full\" (spoken into wavHoCsPV.wav)\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("Played wavHoCsPV.wav (\"Disk full\")"), std::string::npos) << output;
  EXPECT_NE(output.find("5559876     NoAnswer      1"), std::string::npos) << output;
  EXPECT_NE(output.find("Outcome: delivered to 1 of 2: no answer"), std::string::npos) << output;

  ASSERT_EQ(Kel("report --json " + id, &output), 0) << output;
  const auto json = nlohmann::json::parse(output);
  EXPECT_EQ(json["window"]["start"], "2099-12-07T18:00:00+01:00");
  EXPECT_EQ(json["messageParts"], nlohmann::json::parse(R"([{"keys": "", "type": "text",
      "content": "Disk full", "file": "wavHoCsPV.wav"}])"));
  EXPECT_EQ(json["spokenFiles"]["wavHoCsPV.wav"], "Disk full");
  ASSERT_EQ(json["recipients"].size(), 2u);
  EXPECT_EQ(json["recipients"][0]["calls"][0]["status"], "Completed");

  ASSERT_EQ(Kel("ls", &output, "TZ=UTC"), 0) << output;
  EXPECT_NE(output.find("12-07 17:00 - 12-07 18:00"), std::string::npos) << output;
}

TEST_F(KelOutcomeTest, CancelSaysWhatItFoundAndWithdrawsFromInbox) {
  // The daemon and clients poll Inbox and Reports meanwhile: submissions,
  // withdrawals and cancels show them whole files only.
  ringwell::testing::ConcurrentXmlReader inbox(root() + "Inbox"), reports(root() + "Reports");
  std::string output;
  // Not yet taken up by the daemon: withdrawn, under any spelling of its ID.
  ASSERT_EQ(Kel("submit --to 5551234 --say hi --until +1h", &output), 0) << output;
  const std::string waiting(Trim(output));
  std::string lower = waiting.substr(1, 36);
  for (char& c : lower) c = FoldAscii(c);
  ASSERT_EQ(Kel("cancel " + lower, &output), 0) << output;
  EXPECT_EQ(output,
            "withdrawn " + waiting + " from Inbox before it was scheduled; nobody was called\n");
  EXPECT_FALSE(std::filesystem::exists(root() + "Inbox/" + waiting + ".xml"));
  ASSERT_EQ(Kel("ls --json", &output), 0);
  EXPECT_EQ(nlohmann::json::parse(output).size(), 0u) << output;

  // Taken up (its report says "Processing"): the daemon ends it.
  const std::string preparing = Submitted();
  ASSERT_EQ(Kel("cancel " + preparing, &output), 0) << output;
  EXPECT_EQ(output, "withdrawn " + preparing +
                        " from Inbox while the daemon was preparing it; nobody was called (its "
                        "report will say Canceled)\n");

  const std::string scheduled = Submitted();
  Schedule(scheduled);
  Call(scheduled, "5551234", "Busy");
  ASSERT_EQ(tallier_->UpdateStatus(ReportPath(scheduled).c_str(), "5551234", "Scheduled"), S_OK);
  ASSERT_EQ(Kel("cancel " + scheduled, &output), 0) << output;
  EXPECT_EQ(output, "canceled " + scheduled + "; 1 of 2 recipients had already been called\n");
  EXPECT_EQ(Kel("cancel " + scheduled, &output), 1);
  EXPECT_EQ(output,
            "kel: " + scheduled +
                " is already Canceled, nothing to cancel (delivered to 0 of 2: canceled)\n");

  const std::string done = Submitted();
  Schedule(done);
  Call(done, "5551234", "Completed");
  Call(done, "5559876", "Completed");
  Complete(done);
  EXPECT_EQ(Kel("cancel " + done, &output), 1);
  EXPECT_EQ(output,
            "kel: " + done + " is already Completed, nothing to cancel (delivered to 2 of 2)\n");
  inbox.Stop();
  reports.Stop();
  EXPECT_EQ(inbox.Unparsable(), std::vector<std::string>{});
  EXPECT_EQ(reports.Unparsable(), std::vector<std::string>{});
  EXPECT_EQ(Kel("cancel {00000000-0000-0000-0000-000000000000}", &output), 1);
  EXPECT_EQ(output,
            "kel: there is no request {00000000-0000-0000-0000-000000000000}; nothing was "
            "canceled\n");
}

}  // namespace
}  // namespace ringwell::kel::cli
