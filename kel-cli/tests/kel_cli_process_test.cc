// The kel program as a user runs it, against a temporary storage root.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "kel_cli_fixture.h"
#include "test_wav.h"

namespace ringwell::kel::cli {
namespace {

using ringwell::testing::ListDir;

using testing::KelCliTest;

TEST_F(KelCliTest, SubmitPrintsTheIdentifierOrTheToolkitsDescription) {
  const std::string id = Submitted();
  ASSERT_EQ(id.size(), 38u) << id;
  EXPECT_EQ(ListDir(root() + "Inbox"), std::vector<std::string>{id + ".xml"});
  std::string output;
  EXPECT_EQ(Kel("submit --to 5551234 --say x --from +2h --until +1h", &output), 1);
  EXPECT_EQ(output, "kel: --until: the end must come after the start\n");
  EXPECT_EQ(Kel("--root " + scratch() + "nowhere submit --to 1 --say x", &output), 1);
  EXPECT_EQ(output, "kel: the storage root " + scratch() +
                        "nowhere/ does not exist; to fix: ringwell-setup --root " + scratch() +
                        "nowhere/ (as root)\n");
  EXPECT_EQ(Kel("submit " + scratch() + "missing.json", &output), 1);
  EXPECT_EQ(output, "kel: cannot read " + scratch() + "missing.json\n");
  EXPECT_EQ(ListDir(root() + "Inbox").size(), 1u);
}

TEST_F(KelCliTest, ReportShowsStatusesAndCallsAsTableAndJson) {
  const std::string id = Submitted();
  ASSERT_EQ(
      tallier_->AddCallResult(ReportPath(id).c_str(), "5551234",
                              "<Call Status=\"Completed\" Error=\"\"><Time dt:dt=\"dateTime\">"
                              "2026-12-07T09:30:00</Time><Answer>Answered</Answer>"
                              "<Protocol>Played greeting; pressed 1</Protocol>"
                              "<Duration>12</Duration><AnsweredBy>Machine</AnsweredBy>"
                              "<SipReply Code=\"200\">OK</SipReply>"
                              "<LaterElement><Inner/></LaterElement></Call>"),
      S_OK);
  ASSERT_EQ(tallier_->UpdateStatus(ReportPath(id).c_str(), "5551234", "Completed"), S_OK);
  // The report generator keeps what it does not know.
  EXPECT_NE(ringwell::testing::ReadFile(ReportPath(id)).find("<AnsweredBy>Machine</AnsweredBy>"),
            std::string::npos);

  std::string output;
  ASSERT_EQ(Kel("report " + id, &output), 0) << output;
  EXPECT_NE(output.find("Request " + id + "  call  Scheduled"), std::string::npos) << output;
  EXPECT_NE(output.find("5551234     Completed     1"), std::string::npos) << output;
  EXPECT_NE(output.find("2026-12-07 09:30:00  Answered  12s   Completed  answered by Machine\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("Played greeting; pressed 1"), std::string::npos);
  ASSERT_EQ(Kel("report --json " + id, &output), 0);
  auto json = nlohmann::json::parse(output);
  EXPECT_EQ(json["status"], "Scheduled");
  ASSERT_EQ(json["recipients"].size(), 2u);
  EXPECT_EQ(json["recipients"][0]["calls"][0]["duration"], 12);
  EXPECT_EQ(json["recipients"][0]["calls"][0]["answeredBy"], "Machine");
  EXPECT_EQ(json["recipients"][1]["status"], "Scheduled");

  ASSERT_EQ(tallier_->UpdateStatus(ReportPath(id).c_str(), "", "Completed"), S_OK);
  // One recipient was never reached: the request did not fully succeed.
  ASSERT_EQ(Kel("report --wait --interval 50 --timeout 10 " + id, &output), 3);
  EXPECT_NE(output.find("request: Completed"), std::string::npos) << output;
  EXPECT_EQ(Kel("report {00000000-0000-0000-0000-000000000000}", &output), 1);
  EXPECT_EQ(output, "kel: there is no report for {00000000-0000-0000-0000-000000000000}\n");
}

// An identifier is accepted as printed, without its braces, and in any case.
TEST_F(KelCliTest, IdentifiersWithoutBracesAndInAnyCase) {
  const std::string id = Submitted();
  std::string lower = id.substr(1, 36);
  for (char& c : lower) c = FoldAscii(c);
  std::string output;
  ASSERT_EQ(Kel("report --json " + lower, &output), 0) << output;
  EXPECT_EQ(nlohmann::json::parse(output)["id"], id);
  ASSERT_EQ(Kel("report '{" + lower + "}'", &output), 0) << output;
  EXPECT_NE(output.find("Request " + id), std::string::npos) << output;
  std::filesystem::rename(root() + "Inbox/" + id + ".xml", root() + "Requests/" + id + ".xml");
  ASSERT_EQ(Kel("cancel " + lower, &output), 0) << output;
  EXPECT_EQ(output, "canceled " + id + "; 0 of 2 recipients had already been called\n");
  EXPECT_EQ(Kel("report not-an-id", &output), 1);
  EXPECT_EQ(output, "kel: there is no report for not-an-id\n");
}

TEST_F(KelCliTest, CancelAndFileStore) {
  const std::string id = Submitted();
  std::string output;
  std::filesystem::rename(root() + "Inbox/" + id + ".xml", root() + "Requests/" + id + ".xml");
  EXPECT_EQ(Kel("cancel " + id, &output), 0) << output;
  EXPECT_EQ(output, "canceled " + id + "; 0 of 2 recipients had already been called\n");
  ASSERT_EQ(Kel("report --json " + id, &output), 0);
  EXPECT_EQ(nlohmann::json::parse(output)["recipients"][1]["status"], "Canceled");

  const std::string wav = scratch() + "Alarm.WAV";
  client::testing::WriteWav(wav);
  EXPECT_EQ(Kel("files add " + wav, &output), 0) << output;
  EXPECT_EQ(Kel("files add " + wav, &output), 1);
  EXPECT_EQ(Kel("files add --overwrite " + wav, &output), 0);
  ASSERT_EQ(Kel("files ls", &output), 0);
  EXPECT_EQ(output.rfind("Alarm.WAV ", 0), 0u) << output;
  EXPECT_NE(output.find(" 1644  "), std::string::npos) << output;
  EXPECT_EQ(Kel("files info Alarm.WAV", &output), 0);
  EXPECT_EQ(Kel("files rm Alarm.WAV", &output), 0);
  EXPECT_EQ(Kel("files info Alarm.WAV", &output), 1);
  EXPECT_EQ(Kel("files rm Alarm.WAV", &output), 1);
  EXPECT_EQ(output, "kel: no file Alarm.WAV is stored\n");
  EXPECT_EQ(Kel("files rm ../Inbox", &output), 1);
  EXPECT_NE(output.find("A filename cannot contain"), std::string::npos) << output;
}

}  // namespace
}  // namespace ringwell::kel::cli
