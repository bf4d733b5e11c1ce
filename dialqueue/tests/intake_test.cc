#include "intake.h"

#include <array>

#include "ringwell/common/error_info.h"
#include "ringwell/common/xml.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

constexpr char kWindow[] =
    "<StartTime dt:dt=\"dateTime\">2024-03-01T09:00:00</StartTime>"
    "<StopTime dt:dt=\"dateTime\">2024-03-02T09:00:00</StopTime>";

class IntakeTest : public SchedulerTest {
 protected:
  // Takes in a request file of `type` (none if empty) with the given elements.
  HRESULT Take(const std::string& inner, const std::string& type = "") {
    const std::string path = root() + "Requests/raw.xml";
    ringwell::testing::WriteFile(path, "<Request ID=\"" + RequestSpec().id + "\"" +
                                           (type.empty() ? "" : " Type=\"" + type + "\"") + ">" +
                                           inner + "</Request>");
    return QueueRequestFile(path, state_);
  }
  static std::array<std::int32_t, 6> Retries(const CQueueEntry& e) {
    return {e.NumberOfAttemptsIfBusy,     e.DelayIfBusy,
            e.NumberOfAttemptsIfNoAnswer, e.DelayIfNoAnswer,
            e.NumberOfAttemptsIfError,    e.DelayIfError};
  }
};

TEST_F(IntakeTest, OneEntryPerRecipientAndARequestIsNotTakenInTwice) {
  RequestSpec spec;
  spec.recipients = {" 5550001 ", "5550002"};
  spec.busy = {2, 5};
  spec.no_answer = {3, 10};
  spec.error = {1, 15};
  Queue(spec);
  state_.dial_queue().MarkFirstFreeTaken();
  ASSERT_EQ(QueueRequestFile(RequestPath(spec), state_), S_OK);

  EXPECT_THAT(Numbers(state_.dial_queue()), ElementsAre("5550001", "5550002"));
  const CQueueEntry entry = state_.dial_queue().Snapshot().at(0);
  EXPECT_EQ(entry.RequestFile, RequestPath(spec));
  EXPECT_NEAR(entry.NextTime, AtMinute(-60), 1e-8);
  EXPECT_NEAR(entry.StopTime, AtMinute(24 * 60), 1e-8);
  EXPECT_THAT(Retries(entry), ElementsAre(2, 5, 3, 10, 1, 15));
  // A page request with the same ID lands in the page queue.
  ASSERT_EQ(
      Take(kWindow + std::string("<Recipients><Recipient>77</Recipient></Recipients>"), "PAGE"),
      S_OK);
  EXPECT_THAT(Numbers(state_.page_queue()), ElementsAre("77"));
}

TEST_F(IntakeTest, RetryPairsAreReadAsSixteenBitValuesPairByPair) {
  ASSERT_EQ(Take(std::string(kWindow) +
                 "<Recipients><Recipient>1</Recipient></Recipients>"
                 "<NumberOfAttemptsIfBusy dt:dt=\"int\">40000</NumberOfAttemptsIfBusy>"
                 "<DelayIfBusy dt:dt=\"int\">5</DelayIfBusy>"
                 "<NumberOfAttemptsIfNoAnswer dt:dt=\"int\">-3</NumberOfAttemptsIfNoAnswer>"
                 "<DelayIfNoAnswer dt:dt=\"int\">-7</DelayIfNoAnswer>"
                 "<NumberOfAttemptsIfError dt:dt=\"int\">4</NumberOfAttemptsIfError>"
                 "<DelayIfError dt:dt=\"int\">soon</DelayIfError>"),
            S_OK);
  EXPECT_THAT(Retries(state_.dial_queue().Snapshot().at(0)), ElementsAre(0, 0, 0, 0, 4, 0));
}

TEST_F(IntakeTest, WhatIsQueuedWhere) {
  const std::string one = "<Recipients><Recipient Service=\"S1\">1</Recipient></Recipients>";
  struct Case {
    std::string type, inner;
    std::vector<std::string> calls, pages;
  };
  // clang-format off
  const Case cases[] = {
      // Only "Page", in any case, makes a page request; only pages keep their Service.
      {"", one, {"1"}, {}},
      {"Pager", one, {"1"}, {}},
      {"Unknown", one, {"1"}, {}},
      {"page", one, {}, {"1 S1"}},
      // Blank recipients and comments are skipped, repeated ones kept.
      {"Call", "<Recipients><Recipient> </Recipient><Recipient>5</Recipient><!-- 6 -->"
               "<Recipient>\t5\n</Recipient></Recipients>", {"5", "5"}, {}},
      {"Call", "<Recipients><Recipient>  </Recipient></Recipients>", {}, {}},
      // PhoneNumbers serve only when there are no Recipients.
      {"Call", "<PhoneNumbers><PhoneNumber>12</PhoneNumber></PhoneNumbers>", {"12"}, {}},
      {"Call", "<PhoneNumbers><PhoneNumber>12</PhoneNumber></PhoneNumbers>" + one, {"1"}, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    state_.dial_queue().Clear();
    state_.page_queue().Clear();
    ASSERT_EQ(Take(kWindow + c.inner, c.type), S_OK) << c.type << c.inner;
    EXPECT_EQ(Numbers(state_.dial_queue()), c.calls) << c.type << c.inner;
    EXPECT_EQ(Numbers(state_.page_queue()), c.pages) << c.type << c.inner;
  }
}

TEST_F(IntakeTest, RequestsThatCannotBeReadThrowAfterQueueingWhatWasRead) {
  for (const char* inner : {
           "<Recipients><Recipient>1</Recipient></Recipients>",  // no window
           "<StartTime>2024-03-01T09:00:00</StartTime><Recipients><Recipient>1</Recipient>"
           "</Recipients>",
           "<StartTime/><StopTime/>",  // no recipient container
       }) {
    EXPECT_THROW(Take(inner), ComError) << inner;
  }
  // The request element must come first: a declaration before it fails at "ID".
  ringwell::testing::WriteFile(root() + "Requests/decl.xml",
                               "<?xml version=\"1.0\"?><Request ID=\"{X}\">" +
                                   std::string(kWindow) +
                                   "<Recipients><Recipient>1</Recipient></Recipients></Request>");
  EXPECT_THROW(QueueRequestFile(root() + "Requests/decl.xml", state_), ComError);
  EXPECT_EQ(state_.dial_queue().Size(), 0u);

  EXPECT_THROW(Take(kWindow + std::string("<Recipients><Recipient>1</Recipient>"
                                          "<Recipient dt:dt=\"int\">two</Recipient>"
                                          "<Recipient>3</Recipient></Recipients>")),
               ComError);
  EXPECT_THAT(Numbers(state_.dial_queue()), ElementsAre("1"));
}

// A restarted host hands over the same files again: the report says where
// each recipient stands.
TEST_F(IntakeTest, TheReportSaysWhereARestartGoesOn) {
  auto call = [](const std::string& answer, const std::string& status, double minute) {
    return "<Call Status=\"" + status + "\"><Time dt:dt=\"dateTime\">" + IsoAtMinute(minute) +
           "</Time><Answer>" + answer + "</Answer></Call>";
  };
  struct Case {
    const char* name;
    std::string status, calls;      // the recipient's sub-report
    RequestSpec::Rule busy, error;  // of the request
    bool queued;
    std::array<std::int32_t, 2> left;  // busy and error retries left when queued
    double due;                        // minute of the next attempt when queued
    std::vector<std::string> booked;   // statuses recorded for the recipient
    bool interrupted;                  // an interrupted call is recorded
  };
  // clang-format off
  const Case cases[] = {
      {"Fresh", "Scheduled", "", {}, {}, true, {0, 0}, -60, {}, false},
      {"Done", "Completed", call("Answered", "Completed", -5), {}, {2, 1}, false, {}, 0, {}, false},
      {"CanceledIsDone", "Canceled", "", {}, {}, false, {}, 0, {}, false},
      {"InterruptedWithoutRetry", "InProgress", "", {}, {}, false, {}, 0, {"Failed"}, true},
      {"InterruptedRetried", "InProgress", call("Busy", "Busy", -20), {2, 5}, {1, 10}, true,
       {1, 0}, 10, {"Scheduled"}, true},
      {"RetriesSpent", "Scheduled", call("Busy", "Busy", -30) + call("Busy", "Busy", -20),
       {3, 5}, {}, true, {1, 0}, -15, {}, false},
      {"LastRetrySpent", "Scheduled", call("Busy", "Busy", -30) + call("Busy", "Busy", -20),
       {1, 5}, {}, false, {}, 0, {"Busy"}, false},
      {"ResultWithoutStatus", "InProgress", call("Answered", "Completed", -1), {}, {}, false, {},
       0, {"Completed"}, false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state_.dial_queue().Clear();
    tallier_ = MakeComObject<FakeTallier>();
    state_.SetTallier(tallier_);
    RequestSpec spec;
    spec.recipients = {"5550001", "5550002"};
    spec.busy = c.busy;
    spec.error = c.error;
    WriteRequest(spec);
    ringwell::testing::WriteFile(
        root() + "Reports/" + spec.id + ".xml",
        "<Report xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" Status=\"InProgress\">"
        "<SubReport Recipient=\"5550001\" Status=\"" +
            c.status + "\">" + c.calls +
            "</SubReport><SubReport Recipient=\"5550002\" Status=\"Scheduled\"/></Report>");
    ASSERT_EQ(QueueRequestFile(RequestPath(spec), state_), S_OK);

    std::map<std::string, CQueueEntry> queued;
    for (const CQueueEntry& entry : state_.dial_queue().Snapshot()) {
      queued[entry.PhoneNumber] = entry;
    }
    ASSERT_THAT(queued, SizeIs(c.queued ? 2 : 1));
    EXPECT_NEAR(queued["5550002"].NextTime, AtMinute(-60), 1e-6);  // untouched
    if (c.queued) {
      const CQueueEntry& entry = queued["5550001"];
      EXPECT_EQ(entry.NumberOfAttemptsIfBusy, c.left[0]);
      EXPECT_EQ(entry.NumberOfAttemptsIfError, c.left[1]);
      EXPECT_NEAR(entry.NextTime, AtMinute(c.due), 1e-6);
    }
    EXPECT_EQ(tallier_->Statuses("5550001"), c.booked);
    const std::vector<std::string> results = tallier_->Results("5550001");
    ASSERT_THAT(results, SizeIs(c.interrupted ? 1 : 0));
    if (c.interrupted) {
      xml::Document result;
      ASSERT_EQ(result.LoadXml(results[0]), S_OK);
      const pugi::xml_node booked = result.FirstChild();
      EXPECT_STREQ(booked.name(), "Call");
      EXPECT_STREQ(booked.attribute("Status").value(), "Failed");
      EXPECT_THAT(booked.attribute("Error").value(), ::testing::StartsWith("Interrupted"));
      const std::optional<OleDate> time = xml::TypedDate(xml::ChildElement(booked, "Time"));
      ASSERT_TRUE(time.has_value());
      EXPECT_NEAR(*time, AtMinute(0), 1e-6);  // when the restart found it
    }
    EXPECT_THAT(tallier_->Statuses(""), IsEmpty());
  }
}

TEST_F(IntakeTest, ARequestWhoseRecipientsAreAllDoneIsFinishedAtOnce) {
  RequestSpec spec;
  spec.recipients = {"5550001", "5550002"};
  WriteRequest(spec);
  ringwell::testing::WriteFile(root() + "Reports/" + spec.id + ".xml",
                               "<Report Status=\"InProgress\"><SubReport Recipient=\"5550001\" "
                               "Status=\"Completed\"/><SubReport Recipient=\" 5550002 \" "
                               "Status=\"NoAnswer\"/></Report>");
  ASSERT_EQ(QueueRequestFile(RequestPath(spec), state_), S_OK);
  EXPECT_EQ(state_.dial_queue().Size(), 0u);
  EXPECT_THAT(tallier_->Statuses(""), ElementsAre("Completed"));
  EXPECT_TRUE(RequestFilesGone(spec));
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
