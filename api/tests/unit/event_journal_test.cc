// The event journal: what a reading of a report adds to it, what it tells
// back, and how a stream sees it.
#include "event_journal.h"

#include <gtest/gtest.h>

#include <fstream>

#include "ringwell/testing/fixture.h"

namespace ringwell::api {
namespace {

using kel::client::ReportView;

ReportView Report(const std::string& status, std::vector<std::pair<std::string, int>> recipients) {
  ReportView view;
  view.id = "{00000001-0000-4000-8000-000000000000}";
  view.status = status;
  for (const auto& [recipient_status, calls] : recipients) {
    kel::client::RecipientView recipient;
    recipient.recipient = "555" + std::to_string(view.recipients.size());
    recipient.status = recipient_status;
    recipient.calls.resize(static_cast<std::size_t>(calls));
    for (auto& call : recipient.calls) call.answer = "Busy";
    view.recipients.push_back(recipient);
  }
  return view;
}

std::vector<std::string> Types(const std::vector<nlohmann::json>& events) {
  std::vector<std::string> types;
  for (const auto& event : events) {
    types.push_back(event["type"].get<std::string>() + ":" +
                    std::to_string(event["seq"].get<int>()));
  }
  return types;
}

class EventJournalTest : public ringwell::testing::RingwellTest {};

TEST_F(EventJournalTest, ReadingsBecomeNumberedEventsThatFoldBackIntoTheState) {
  const std::string path = scratch() + "journal.jsonl";
  JournalState state = Fold(ReadEvents(path));
  EXPECT_EQ(state.last_seq, 0u);

  // A report just made by the generator ("" statuses) says nothing yet.
  EXPECT_TRUE(Diff(state, Report("", {{"", 0}}), "t0", 1).empty());
  auto events = Diff(state, Report("Scheduled", {{"Scheduled", 0}, {"Scheduled", 0}}), "t1", 2);
  EXPECT_EQ(Types(events), (std::vector<std::string>{"recipient:1", "recipient:2", "status:3"}));
  ASSERT_EQ(AppendEvents(path, events), S_OK);
  Apply(state, events);

  // Calls come before the status they led to, recipients before the request.
  events = Diff(state, Report("Completed", {{"Completed", 1}, {"Failed", 2}}), "t2", 3);
  EXPECT_EQ(Types(events), (std::vector<std::string>{"call:4", "recipient:5", "call:6", "call:7",
                                                     "recipient:8", "status:9"}));
  EXPECT_EQ(events[2]["recipient"], "5551");
  EXPECT_EQ(events[2]["index"], 1);
  EXPECT_EQ(events[2]["call"]["answer"], "Busy");
  EXPECT_EQ(events.back()["requestStatus"], "Completed");
  ASSERT_EQ(AppendEvents(path, events), S_OK);

  // A line still being written is not read.
  { std::ofstream(path, std::ios::app) << R"({"seq": 10, "type": "sta)"; }
  const auto all = ReadEvents(path);
  ASSERT_EQ(all.size(), 9u);
  const JournalState folded = Fold(all);
  EXPECT_EQ(folded.last_seq, 9u);
  EXPECT_TRUE(folded.Finished());
  EXPECT_EQ(folded.report_mtime, 3);
  ASSERT_EQ(folded.recipients.size(), 2u);
  EXPECT_EQ(folded.recipients[1].calls, 2u);
  EXPECT_EQ(folded.recipients[1].status, "Failed");
  EXPECT_TRUE(
      Diff(folded, Report("Completed", {{"Completed", 1}, {"Failed", 2}}), "t3", 4).empty());
  EXPECT_EQ(ReadEvents(path, 7).size(), 2u);

  EXPECT_EQ(SseText(all[0]).rfind("id: 1\nevent: recipient\ndata: {", 0), 0u);
  EXPECT_EQ(SseText(all[0]).substr(SseText(all[0]).size() - 3), "}\n\n");
}

}  // namespace
}  // namespace ringwell::api
