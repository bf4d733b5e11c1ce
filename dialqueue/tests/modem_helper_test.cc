#include "modem_helper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "intake.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kNumber[] = "5550001";
constexpr char kOperation[] = "CModemHelper::ProcessDialRequest";

class ModemHelperTest : public SchedulerTest {
 protected:
  void SetUp() override {
    speed_ = 100;  // one 300 ms poll stands for 30 s
    SchedulerTest::SetUp();
    modem_ = MakeComObject<FakeModem>(clock_.get());
  }

  void Queue(const RequestSpec& spec) {
    WriteRequest(spec);
    ASSERT_EQ(QueueRequestFile(RequestPath(spec), *state_), S_OK);
  }

  // Runs one line until the request is finished (its files gone and its
  // entries out of the queue).
  void RunUntilDone(const RequestSpec& spec, std::int32_t line = 1) {
    CModemHelper helper(modem_.Get(), line, *state_);
    EXPECT_TRUE(WaitUntil([&] { return !state_->dial_queue().ContainsId(spec.id); }));
  }

  ComPtr<FakeModem> modem_;
};

TEST_F(ModemHelperTest, BusyIsRetriedAfterItsDelayAndTheLastStatusIsFinal) {
  RequestSpec spec;
  spec.busy_attempts = 2;
  spec.busy_delay = 5;
  modem_->Script(kNumber, {{S_OK, CallResult("Busy", "Busy")}});
  Queue(spec);
  RunUntilDone(spec);

  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Scheduled", "InProgress",
                                                       "Scheduled", "InProgress", "Busy"));
  EXPECT_THAT(tallier_->Statuses(""),
              ElementsAre("InProgress", "InProgress", "InProgress", "Completed"));
  EXPECT_EQ(tallier_->ResultCount(kNumber), 3u);
  const std::vector<ModemCall> calls = modem_->Calls();
  ASSERT_EQ(calls.size(), 3u);
  for (std::size_t i = 1; i < calls.size(); ++i) {
    EXPECT_GE(LinearDate(calls[i].time), LinearDate(calls[i - 1].time) + 5.0 / 1440 - 1e-9);
  }
  EXPECT_TRUE(RequestFilesGone(spec));
  for (const ReportCall& call : tallier_->Calls()) EXPECT_EQ(call.report, ReportPath(spec));
}

TEST_F(ModemHelperTest, BusyWithStatusFailedFollowsOnlyTheBusyRule) {
  RequestSpec spec;
  spec.error_attempts = 3;
  modem_->Script(kNumber, {{S_OK, CallResult("Busy", "Failed")}});
  Queue(spec);
  const std::size_t sleeps_before = clock_->Sleeps().size();
  RunUntilDone(spec);

  EXPECT_EQ(modem_->Calls().size(), 1u);
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Failed"));
  // No pause after the call: the busy rule matched, not the error rule.
  const std::vector<std::chrono::milliseconds> sleeps = clock_->Sleeps();
  for (std::size_t i = sleeps_before; i < sleeps.size(); ++i) {
    EXPECT_NE(sleeps[i], std::chrono::milliseconds(2000));
  }
}

TEST_F(ModemHelperTest, ARetryWithoutDelayIsTakenOnTheNextPoll) {
  RequestSpec spec;
  spec.no_answer_attempts = 1;
  modem_->Script(kNumber, {{S_OK, CallResult("NoAnswer", "NoAnswer")}});
  Queue(spec);
  RunUntilDone(spec);

  const std::vector<ModemCall> calls = modem_->Calls();
  ASSERT_EQ(calls.size(), 2u);
  // One worker, so the clock moved only by its one poll in between.
  EXPECT_LE(calls[1].time - calls[0].time, 0.3 * speed_ / 86400 + 1e-9);
  EXPECT_THAT(tallier_->Statuses(kNumber),
              ElementsAre("InProgress", "Scheduled", "InProgress", "NoAnswer"));
}

TEST_F(ModemHelperTest, AClosedWindowFailsTheRecipientWithoutACall) {
  RequestSpec spec;
  spec.start = IsoMinutesFromStart(-120);
  spec.stop = IsoMinutesFromStart(-60);
  Queue(spec);
  RunUntilDone(spec);

  EXPECT_THAT(modem_->Calls(), IsEmpty());
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("Failed"));
  EXPECT_THAT(tallier_->Statuses(""), ElementsAre("Completed"));
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(ModemHelperTest, DatesThatDoNotConvert) {
  RequestSpec due;
  due.start = "not a date";
  Queue(due);
  RunUntilDone(due);
  ASSERT_EQ(modem_->Calls().size(), 1u);
  EXPECT_DOUBLE_EQ(modem_->Calls()[0].time, TestStart());

  RequestSpec closed;
  closed.id = "{00000000-0000-0000-0000-0000000000C1}";
  closed.stop = "2024-02-30T10:00:00";
  Queue(closed);
  RunUntilDone(closed);
  EXPECT_EQ(modem_->Calls().size(), 1u);
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Completed", "Failed"));
}

TEST_F(ModemHelperTest, ARequestCancelledDuringTheCallIsNotRetriedNorCompleted) {
  RequestSpec spec;
  spec.busy_attempts = 3;
  modem_->Script(kNumber, {{S_OK, CallResult("Busy", "Busy")}});
  modem_->OnCall([&](const std::string&) { std::filesystem::remove(RequestPath(spec)); });
  Queue(spec);
  RunUntilDone(spec);

  EXPECT_EQ(modem_->Calls().size(), 1u);
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Busy"));
  EXPECT_THAT(tallier_->Statuses(""), ElementsAre("InProgress"));
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(ModemHelperTest, TheRequestIsCompletedAfterItsLastRecipient) {
  RequestSpec spec;
  spec.recipients = {"5550001", "5550002"};
  std::vector<bool> file_there_at_call;
  modem_->OnCall([&](const std::string&) {
    file_there_at_call.push_back(std::filesystem::exists(RequestPath(spec)));
  });
  Queue(spec);
  RunUntilDone(spec);

  EXPECT_THAT(file_there_at_call, ElementsAre(true, true));
  const std::vector<ReportCall> calls = tallier_->Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().number, "");
  EXPECT_EQ(calls.back().value, "Completed");
  EXPECT_THAT(tallier_->Statuses("5550002"), ElementsAre("InProgress", "Completed"));
  EXPECT_EQ(tallier_->Statuses("").size(), 3u);  // two "InProgress", one "Completed"
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(ModemHelperTest, AFailingDeviceCountsAsAFailedCallUnderTheErrorRule) {
  RequestSpec spec;
  spec.error_attempts = 1;
  spec.error_delay = 10;
  modem_->Script(kNumber, {{E_FAIL, ""}});
  Queue(spec);
  RunUntilDone(spec);

  EXPECT_EQ(modem_->Calls().size(), 2u);
  EXPECT_THAT(tallier_->Statuses(kNumber),
              ElementsAre("InProgress", "Scheduled", "InProgress", "Failed"));
  EXPECT_THAT(tallier_->Statuses("").back(), "Completed");
  const auto events = Events(dialqueue_msg::kXmlErrorIn, kOperation);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].text,
            "XML error in CModemHelper::ProcessDialRequest: Unspecified error.\r\n");
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(ModemHelperTest, ResultsThatCannotBeReadCountAsFailedCalls) {
  RequestSpec spec;
  spec.recipients = {"5550001", "5550002", "5550003"};
  modem_->Script("5550001", {{S_OK, "this is no XML"}});
  modem_->Script("5550002", {{S_OK, "<Call Status=\"Completed\"/>"}});
  modem_->Script("5550003", {{S_OK, "<Call><Answer>Answered</Answer></Call>"}});
  Queue(spec);
  RunUntilDone(spec);

  for (const char* number : {"5550001", "5550002", "5550003"}) {
    EXPECT_THAT(tallier_->Statuses(number), ElementsAre("InProgress", "Failed")) << number;
    EXPECT_EQ(tallier_->ResultCount(number), 1u) << number;
  }
  EXPECT_EQ(Events(dialqueue_msg::kErrorIn, kOperation).size(), 1u);
  EXPECT_EQ(Events(dialqueue_msg::kXmlErrorIn, kOperation).size(), 2u);
  EXPECT_EQ(tallier_->Statuses("").back(), "Completed");
}

TEST_F(ModemHelperTest, ALineWithoutADeviceFailsItsCalls) {
  RequestSpec spec;
  Queue(spec);
  {
    CModemHelper helper(nullptr, 1, *state_);
    EXPECT_TRUE(WaitUntil([&] { return !state_->dial_queue().ContainsId(spec.id); }));
  }
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Failed"));
  EXPECT_EQ(Events(dialqueue_msg::kXmlErrorIn, kOperation).size(), 1u);
}

TEST_F(ModemHelperTest, AFailingReportDoesNotStopTheCall) {
  RequestSpec spec;
  tallier_->FailWith(E_ACCESSDENIED);
  Queue(spec);
  RunUntilDone(spec);

  EXPECT_EQ(modem_->Calls().size(), 1u);
  const auto events = Events(dialqueue_msg::kErrorIn, kOperation);
  // InProgress twice, the call result, the final status, Completed.
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].strings[1], "Access is denied.");
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(ModemHelperTest, AnUnreadableRequestIsDroppedSilently) {
  RequestSpec spec;
  Queue(spec);
  ringwell::testing::WriteFile(RequestPath(spec), "<Request");
  RunUntilDone(spec);

  EXPECT_THAT(modem_->Calls(), IsEmpty());
  EXPECT_THAT(tallier_->Calls(), IsEmpty());
  EXPECT_THAT(EventLogEntries(), IsEmpty());
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(ModemHelperTest, TheCallGetsTheNumberTheRequestAndItsWavDirectory) {
  RequestSpec spec;
  spec.recipients = {"  5550001\t"};
  Queue(spec);
  RunUntilDone(spec);

  ASSERT_EQ(modem_->Calls().size(), 1u);
  const ModemCall call = modem_->Calls()[0];
  EXPECT_EQ(call.number, kNumber);
  EXPECT_EQ(call.wav_dir, WavDir(spec));
  EXPECT_NE(call.request_xml.find("<CallTree>"), std::string::npos);
  EXPECT_EQ(call.request_xml.rfind("<Request", 0), 0u);
}

TEST_F(ModemHelperTest, PollsWaitLongerOnHigherLinesAndAfterAFailedCall) {
  RequestSpec spec;
  spec.start = IsoMinutesFromStart(60 * 24 * 365);  // never due during the test
  spec.stop = IsoMinutesFromStart(60 * 24 * 366);
  Queue(spec);
  auto sleeps_of_line = [&](std::int32_t line) {
    auto clock = std::make_shared<FakeClock>();
    state_->SetClock(clock);
    {
      CModemHelper helper(modem_.Get(), line, *state_);
      WaitUntil([&] { return clock->Sleeps().size() >= 3; });
    }
    return clock->Sleeps().front();
  };
  EXPECT_EQ(sleeps_of_line(0), std::chrono::milliseconds(300));
  EXPECT_EQ(sleeps_of_line(1), std::chrono::milliseconds(300));
  EXPECT_EQ(sleeps_of_line(3), std::chrono::milliseconds(1300));

  state_->dial_queue().Clear();
  RequestSpec failing;
  failing.id = "{00000000-0000-0000-0000-0000000000F1}";
  modem_->Script(kNumber, {{S_OK, CallResult("Answered", "Failed")}});
  Queue(failing);
  auto clock = std::make_shared<FakeClock>();
  state_->SetClock(clock);
  {
    CModemHelper helper(modem_.Get(), 1, *state_);
    WaitUntil([&] { return clock->Sleeps().size() >= 4; });
  }
  std::vector<std::chrono::milliseconds> sleeps = clock->Sleeps();
  sleeps.resize(4);
  EXPECT_THAT(sleeps, ElementsAre(std::chrono::milliseconds(300), std::chrono::milliseconds(2000),
                                  std::chrono::milliseconds(300), std::chrono::milliseconds(2000)));
}

TEST_F(ModemHelperTest, DestructionWaitsForTheCallAndThenReleasesTheDevice) {
  RequestSpec spec;
  std::atomic<bool> in_call{false};
  std::atomic<bool> call_may_end{false};
  modem_->OnCall([&](const std::string&) {
    in_call = true;
    WaitUntil([&] { return call_may_end.load(); });
  });
  Queue(spec);
  auto helper = std::make_unique<CModemHelper>(modem_.Get(), 1, *state_);
  ASSERT_TRUE(WaitUntil([&] { return in_call.load(); }));
  EXPECT_EQ(modem_->RefCount(), 2u);
  std::thread release([&] { helper.reset(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  call_may_end = true;
  release.join();
  // The call in progress was finished and booked before the worker ended.
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Completed"));
  EXPECT_EQ(modem_->RefCount(), 1u);
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
