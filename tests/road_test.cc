// The whole road of a request: submitted through the toolkit, preprocessed by
// prepax, dialled by the scheduler inside ringwell-host, reported by the
// report generator, read back and cancelled through the toolkit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <thread>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/testing/wait.h"
#include "road_fixture.h"

namespace ringwell::road {
namespace {

using namespace std::chrono_literals;
using namespace ringwell::kel;
using ringwell::testing::ListDir;

// A second of 440 Hz tone as an 8 kHz 16-bit mono wav file.
void WriteRecording(const std::string& path) {
  constexpr std::uint32_t kRate = 8000;
  std::string data;
  for (std::uint32_t i = 0; i < kRate; ++i) {
    const auto sample = static_cast<std::int16_t>(8000 * std::sin(i * 2 * M_PI * 440 / kRate));
    data.push_back(static_cast<char>(sample & 0xFF));
    data.push_back(static_cast<char>((sample >> 8) & 0xFF));
  }
  auto le32 = [](std::uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  auto le16 = [](std::uint16_t v) { return std::string{char(v), char(v >> 8)}; };
  const std::string wav = "RIFF" + le32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " +
                          le32(16) + le16(1) + le16(1) + le32(kRate) + le32(kRate * 2) + le16(2) +
                          le16(16) + "data" + le32(static_cast<std::uint32_t>(data.size())) + data;
  ringwell::testing::WriteFile(path, wav);
}

class RoadTestCase : public RoadTest {};

TEST_F(RoadTestCase, CallAndPageRequestsTravelToCompletedReports) {
  StartServices(R"({"rules": [
      {"number": "5550001", "outcome": "answer", "keys": "1"},
      {"number": "5550002", "outcome": "busy"},
      {"number": "5550003", "outcome": "noanswer"}]})",
                {"--lines", "1,2", "--pager-line", "3"});
  WriteRecording(scratch() + "chime.wav");
  ASSERT_EQ(service_->SubmitFile((scratch() + "chime.wav").c_str(), 0), S_OK);

  auto call = NewRequest({"5550001", "5550002", "5550003"});
  call->put_NumberOfAttemptsIfBusy(0);
  call->put_NumberOfAttemptsIfNoAnswer(0);
  ComPtr<_IKelNode> tree;
  call->get_CallTree(tree.Put());
  AddPart(tree.Get(), kelFileNameMessagePart, "chime.wav");
  AddPart(tree.Get(), kelTextMessagePart, "The cooling of server room two has failed.");
  ComPtr<IKelResponse> acknowledge;
  ASSERT_EQ(CreateInstance(kKelResponseClsid, &acknowledge), S_OK);
  acknowledge->put_Button("1");
  AddPart(acknowledge.Get(), kelTextMessagePart, "Thank you.");
  ComPtr<IKelResponses> responses;
  tree->get_Responses(responses.Put());
  responses->Append(acknowledge.Get());
  const std::string call_id = Submit(call.Get());

  auto page = NewRequest({"7770001"});
  page->put_Type(kelPageRequest);
  ComPtr<_IKelNode> page_tree;
  page->get_CallTree(page_tree.Put());
  AddPart(page_tree.Get(), kelTextMessagePart, "Server room 2: cooling failed");
  const std::string page_id = Submit(page.Get());

  ASSERT_TRUE(WaitForStatus(call_id, "Completed", 180s)) << Status(call_id);
  ASSERT_TRUE(WaitForStatus(page_id, "Completed", 180s)) << Status(page_id);

  auto calls = Results(Report(call_id).Get());
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].status, "Completed");
  EXPECT_EQ(calls[0].answers, std::vector<std::string>{"Answered"});
  EXPECT_NE(calls[0].protocols[0].find("Key 1 pressed: response for button 1"), std::string::npos)
      << calls[0].protocols[0];
  EXPECT_EQ(calls[1].status, "Busy");
  EXPECT_EQ(calls[1].answers, std::vector<std::string>{"Busy"});
  EXPECT_EQ(calls[2].status, "NoAnswer");
  EXPECT_EQ(calls[2].answers, std::vector<std::string>{"NoAnswer"});
  auto pages = Results(Report(page_id).Get());
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].status, "Sent");
  EXPECT_EQ(pages[0].answers.size(), 1u);

  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  EXPECT_TRUE(WaitForEmpty("Requests", 30s)) << "finished requests leave nothing";
  EXPECT_EQ(ListDir(heard_dir_).size(), 1u);  // one answered call
  StopServices();
}

// A busy line, a call nobody answers and a failed call are each tried again
// after their own delay, not sooner and not much later: the report's call
// times (the moment each attempt was dialled, to the second) lie at least
// the configured minute apart, and at most that plus a margin for a loaded
// machine (the lines look at the queue several times a second).
TEST_F(RoadTestCase, RetriesComeAfterTheirConfiguredDelays) {
  StartServices(R"({"rules": [
      {"number": "5550011", "attempts": [{"outcome": "busy"}, {"outcome": "answer"}]},
      {"number": "5550012", "attempts": [{"outcome": "noanswer"}, {"outcome": "answer"}]},
      {"number": "5550013",
       "attempts": [{"outcome": "failure", "error": "No dial tone"}, {"outcome": "answer"}]}]})",
                {"--lines", "1,2", "--no-pager"});
  auto request = NewRequest({"5550011", "5550012", "5550013"});
  request->put_NumberOfAttemptsIfBusy(1);
  request->put_DelayIfBusy(1);
  request->put_NumberOfAttemptsIfNoAnswer(1);
  request->put_DelayIfNoAnswer(1);
  request->put_NumberOfAttemptsIfError(1);
  request->put_DelayIfError(1);
  ComPtr<_IKelNode> tree;
  request->get_CallTree(tree.Put());
  AddPart(tree.Get(), kelTextMessagePart, "The backup has failed.");
  const std::string id = Submit(request.Get());
  ASSERT_TRUE(WaitForStatus(id, "Completed", 300s)) << Status(id);

  const auto recipients = Results(Report(id).Get());
  ASSERT_EQ(recipients.size(), 3u);
  const std::vector<std::string> first_answers = {"Busy", "NoAnswer", "Failed"};
  constexpr auto kDelay = 60s;
  constexpr auto kMargin = 30s;
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    const RecipientResult& recipient = recipients[i];
    SCOPED_TRACE(recipient.recipient);
    EXPECT_EQ(recipient.status, "Completed");
    ASSERT_EQ(recipient.answers, (std::vector<std::string>{first_answers[i], "Answered"}));
    ASSERT_EQ(recipient.times.size(), 2u);
    // Both times are whole seconds: the difference is one too.
    const auto apart = std::chrono::seconds(
        std::llround((LinearDate(recipient.times[1]) - LinearDate(recipient.times[0])) * 86'400));
    EXPECT_GE(apart, kDelay) << "tried again too soon";
    EXPECT_LE(apart, kDelay + kMargin) << "tried again too late";
  }
  StopServices();
}

// A request canceled before its window opens is never dialled, also once
// its window is open: a second request with the same window, submitted
// after it for the same line, is dialled first if the canceled one is not
// gone.
TEST_F(RoadTestCase, RequestCanceledBeforeItsWindowIsNeverDialled) {
  StartServices("{}", {"--lines", "1", "--no-pager"});
  // The window opens in 45 s: time for both to be prepared on a loaded
  // machine.
  constexpr double kOpensInMinutes = 0.75;
  const auto opens = std::chrono::steady_clock::now() + 45s;
  auto make = [&](const std::vector<std::string>& numbers) {
    auto request = NewRequest(numbers, kOpensInMinutes, /*stop_minutes=*/120);
    ComPtr<_IKelNode> tree;
    request->get_CallTree(tree.Put());
    AddPart(tree.Get(), kelTextMessagePart, "Maintenance tonight.");
    return Submit(request.Get());
  };
  const std::string id = make({"5550001", "5550002"});
  const std::string later = make({"5550003"});
  ASSERT_TRUE(WaitForStatus(id, "Scheduled", 60s)) << Status(id);
  ASSERT_TRUE(WaitForStatus(later, "Scheduled", 60s)) << Status(later);

  EXPECT_EQ(service_->CancelRequest(id.c_str()), S_OK);
  ASSERT_LT(std::chrono::steady_clock::now(), opens) << "canceled only after the window opened";
  EXPECT_EQ(service_->CancelRequest(id.c_str()), S_FALSE);
  EXPECT_EQ(Status(id), "Canceled");
  EXPECT_FALSE(std::filesystem::exists(root() + "Requests/" + id + ".xml"));

  // Inside the window: the other request is dialled and done, the canceled
  // one still is not.
  ASSERT_TRUE(WaitForStatus(later, "Completed", 180s)) << Status(later);
  EXPECT_GE(std::chrono::steady_clock::now(), opens - 2s);  // the window is kept to the second
  EXPECT_EQ(Status(id), "Canceled");
  for (const auto& recipient : Results(Report(id).Get())) {
    EXPECT_EQ(recipient.status, "Canceled");
    EXPECT_TRUE(recipient.answers.empty());
  }
  EXPECT_EQ(ListDir(heard_dir_).size(), 1u);  // the other request's call only
  // Its audio goes as well, though no attempt of it ever came due.
  EXPECT_TRUE(WaitForEmpty("Requests", 60s)) << "the canceled request's audio stays";
  StopServices();
}

TEST_F(RoadTestCase, TwoHundredRequestsOfFiveRecipientsAllComplete) {
  // Sixteen lines numbered 0 poll every 300 ms and never block each other;
  // simulated calls take no real time.
  StartServices("{}",
                {"--lines", "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0", "--no-pager", "--time-scale", "0"});
  constexpr int kRequests = 200;
  constexpr int kRecipients = 5;
  std::vector<std::string> ids;
  for (int r = 0; r < kRequests; ++r) {
    std::vector<std::string> numbers;
    for (int i = 0; i < kRecipients; ++i) numbers.push_back(std::to_string(5600000 + r * 10 + i));
    auto request = NewRequest(numbers);
    ComPtr<_IKelNode> tree;
    request->get_CallTree(tree.Put());
    AddPart(tree.Get(), kelTextMessagePart, "Request " + std::to_string(r));
    ids.push_back(Submit(request.Get()));
  }

  std::vector<std::string> waiting = ids;
  ringwell::testing::WaitUntil(
      [&] {
        std::erase_if(waiting, [&](const std::string& id) { return Status(id) == "Completed"; });
        return waiting.empty();
      },
      600s, 500ms);
  ASSERT_TRUE(waiting.empty()) << waiting.size() << " requests not completed, e.g. "
                               << Status(waiting.front());
  for (const auto& id : ids) {
    auto recipients = Results(Report(id).Get());
    ASSERT_EQ(recipients.size(), static_cast<std::size_t>(kRecipients)) << id;
    for (const auto& recipient : recipients) {
      EXPECT_EQ(recipient.status, "Completed") << id << " " << recipient.recipient;
      EXPECT_EQ(recipient.answers.size(), 1u) << id << " " << recipient.recipient;
    }
  }
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  EXPECT_TRUE(WaitForEmpty("Requests", 30s));
  StopServices();
}

}  // namespace
}  // namespace ringwell::road
