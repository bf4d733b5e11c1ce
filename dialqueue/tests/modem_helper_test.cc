#include "modem_helper.h"

#include "ringwell/common/xml.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

using std::chrono_literals::operator""ms;

constexpr char kNumber[] = "5550001";
constexpr char kOperation[] = "CModemHelper::ProcessDialRequest";

class ModemHelperTest : public SchedulerTest {
 protected:
  // Runs line 1 with `device` until `spec` is out of the queue.
  void RunLine(const RequestSpec& spec, IUnknown* device) {
    CModemHelper helper(device, 1, state_);
    EXPECT_TRUE(WaitUntil([&] { return !Queued(spec); }));
  }
  // Queues `spec` and runs line 1 with the fake modem until it is done.
  void Run(const RequestSpec& spec) {
    Queue(spec);
    RunLine(spec, modem_.Get());
  }

  ComPtr<FakeModem> modem_ = MakeComObject<FakeModem>(*clock_);
};

// One request with one recipient: how its window and the line's replies
// decide the attempts and the statuses.
struct Case {
  const char* name;
  RequestSpec spec = {};
  Reply reply = {};                        // of the line, at every attempt
  std::vector<std::string> statuses = {};  // of the recipient, in order
  std::size_t xml_errors = 0, errors = 0;
  bool pause = false;                 // a failed call pauses the line
  double min_gap = 0, max_gap = 1e9;  // minutes between two attempts
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class AttemptTest : public ModemHelperTest, public ::testing::WithParamInterface<Case> {};

TEST_P(AttemptTest, RetryRulesAndStatuses) {
  const Case& c = GetParam();
  modem_->answer = [&](const std::string&) { return c.reply; };
  Run(c.spec);

  EXPECT_EQ(tallier_->Statuses(kNumber), c.statuses);
  const std::vector<DeviceCall> calls = modem_->Calls();
  ASSERT_EQ(calls.size(), static_cast<std::size_t>(std::ranges::count(c.statuses, "InProgress")));
  std::vector<std::string> request(calls.size(), "InProgress");
  request.push_back("Completed");
  EXPECT_EQ(tallier_->Statuses(""), request);
  if (!calls.empty()) {
    EXPECT_DOUBLE_EQ(calls[0].time, AtMinute(0));  // due at once
  }
  for (std::size_t i = 1; i < calls.size(); ++i) {
    const double gap = (LinearDate(calls[i].time) - LinearDate(calls[i - 1].time)) * 1440;
    EXPECT_GE(gap, c.min_gap - 1e-6);
    EXPECT_LE(gap, c.max_gap + 1e-6);
  }
  EXPECT_THAT(tallier_->Results(kNumber), SizeIs(c.reply.hr == S_OK ? calls.size() : 0));
  for (const ReportCall& call : tallier_->Calls()) {
    EXPECT_EQ(call.report, root() + "Reports/" + c.spec.id + ".xml");
  }
  EXPECT_THAT(Events(dialqueue_msg::kXmlErrorIn, kOperation), SizeIs(c.xml_errors));
  EXPECT_THAT(Events(dialqueue_msg::kErrorIn, kOperation), SizeIs(c.errors));
  EXPECT_EQ(std::ranges::count(clock_->Sleeps(), 2000ms) > 0, c.pause);
  EXPECT_TRUE(RequestFilesGone(c.spec));
}

const std::vector<std::string> kFailed = {"InProgress", "Failed"};
const std::vector<std::string> kRetriedAndFailed = {"InProgress", "Scheduled", "InProgress",
                                                    "Failed"};
// clang-format off
const Case kCases[] = {
    {.name = "BusyTwice", .spec = {.busy = {2, 5}}, .reply = {S_OK, CallResult("Busy", "Busy")},
     .statuses = {"InProgress", "Scheduled", "InProgress", "Scheduled", "InProgress", "Busy"},
     .min_gap = 5},
    // "Busy" with the status "Failed" follows the busy rule only.
    {.name = "BusyAndFailed", .spec = {.error = {3, 0}},
     .reply = {S_OK, CallResult("Busy", "Failed")}, .statuses = kFailed},
    // A retry without delay is due at once: taken on the next 30 s poll.
    {.name = "NoAnswerWithoutDelay", .spec = {.no_answer = {1, 0}},
     .reply = {S_OK, CallResult("NoAnswer", "NoAnswer")},
     .statuses = {"InProgress", "Scheduled", "InProgress", "NoAnswer"}, .max_gap = 0.5},
    {.name = "WindowClosed", .spec = {.start = IsoAtMinute(-120), .stop = IsoAtMinute(-60)},
     .statuses = {"Failed"}},
    {.name = "StartNotADate", .spec = {.start = "never"}, .statuses = {"InProgress", "Completed"}},
    {.name = "StopNotADate", .spec = {.stop = "2024-02-30T10:00:00"}, .statuses = {"Failed"}},
    // Unexpected endings count as failed calls under the error rule.
    {.name = "DeviceFails", .spec = {.error = {1, 10}}, .reply = {E_FAIL, ""},
     .statuses = kRetriedAndFailed, .xml_errors = 2, .pause = true, .min_gap = 10},
    {.name = "ResultNotXml", .spec = {.error = {1, 0}}, .reply = {S_OK, "no XML"},
     .statuses = kRetriedAndFailed, .errors = 2, .pause = true},
    {.name = "ResultWithoutStatus", .reply = {S_OK, "<Call><Answer>Answered</Answer></Call>"},
     .statuses = kFailed, .xml_errors = 1, .pause = true},
    {.name = "ResultWithoutAnswer", .reply = {S_OK, "<Call Status=\"Completed\"/>"},
     .statuses = kFailed, .xml_errors = 1, .pause = true},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(, AttemptTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModemHelperTest, ALineWithoutADeviceFailsItsCalls) {
  const RequestSpec spec;
  Queue(spec);
  RunLine(spec, nullptr);
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Failed"));
  const auto events = Events(dialqueue_msg::kXmlErrorIn, kOperation);
  ASSERT_THAT(events, SizeIs(1));
  EXPECT_EQ(events[0].text, "XML error in CModemHelper::ProcessDialRequest: Invalid pointer.\r\n");
  EXPECT_EQ(events[0].request_id, spec.id);
}

TEST_F(ModemHelperTest, ARequestCancelledDuringTheCallIsNotRetriedNorCompleted) {
  RequestSpec spec;
  spec.busy = {3, 0};
  modem_->answer = [&](const std::string&) {
    std::filesystem::remove(RequestPath(spec));
    return Reply{S_OK, CallResult("Busy", "Busy")};
  };
  Run(spec);

  EXPECT_THAT(modem_->Calls(), SizeIs(1));
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Busy"));
  EXPECT_THAT(tallier_->Statuses(""), ElementsAre("InProgress"));
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(ModemHelperTest, ARequestCancelledBeforeItsCallIsDroppedSilently) {
  const RequestSpec spec;
  Queue(spec);
  std::filesystem::remove(RequestPath(spec));
  RunLine(spec, modem_.Get());

  EXPECT_THAT(modem_->Calls(), IsEmpty());
  EXPECT_THAT(tallier_->Calls(), IsEmpty());
  EXPECT_THAT(EventLogEntries(), IsEmpty());
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(ModemHelperTest, TheRequestIsCompletedAfterItsLastRecipient) {
  RequestSpec spec;
  spec.recipients = {"5550001", "5550002"};
  std::vector<bool> file_there_at_call;
  modem_->answer = [&](const std::string&) {
    file_there_at_call.push_back(std::filesystem::exists(RequestPath(spec)));
    return Reply{};
  };
  Run(spec);

  EXPECT_THAT(file_there_at_call, ElementsAre(true, true));
  EXPECT_THAT(tallier_->Statuses("5550002"), ElementsAre("InProgress", "Completed"));
  EXPECT_THAT(tallier_->Statuses(""), ElementsAre("InProgress", "InProgress", "Completed"));
  EXPECT_EQ(tallier_->Calls().back().number, "");  // after the last recipient's status
  // The line got the request and the directory of its wav files.
  EXPECT_EQ(modem_->Calls()[0].detail, WavDir(spec));
  xml::Document given;
  ASSERT_EQ(given.LoadXml(modem_->Calls()[0].request_xml), S_OK);
  const pugi::xml_node request = given.FirstChild();
  EXPECT_STREQ(request.name(), "Request");
  EXPECT_EQ(request.attribute("ID").value(), spec.id);
  EXPECT_THAT(xml::ElementsByName(request, "Recipient"), SizeIs(2));
  EXPECT_TRUE(xml::ChildElement(request, "CallTree"));
  EXPECT_TRUE(RequestFilesGone(spec));
}

// A report that cannot take the start of a call: no call is placed until it
// can. Each attempt that could not start is logged about the report.
TEST_F(ModemHelperTest, NoCallIsPlacedUntilTheReportTakesItsStart) {
  const RequestSpec spec;
  tallier_->fail_with = E_ACCESSDENIED;
  Queue(spec);
  CModemHelper helper(modem_.Get(), 1, state_);
  ASSERT_TRUE(WaitUntil([&] { return Events(dialqueue_msg::kErrorIn, kOperation).size() >= 3; }));
  EXPECT_THAT(modem_->Calls(), IsEmpty());
  for (const auto& event : Events(dialqueue_msg::kErrorIn, kOperation)) {
    EXPECT_EQ(event.text, "Error in CModemHelper::ProcessDialRequest: Access is denied..\r\n");
    EXPECT_EQ(event.path, root() + "Reports/" + spec.id + ".xml");
  }
  EXPECT_TRUE(Queued(spec));

  tallier_->fail_with = S_OK;
  ASSERT_TRUE(WaitUntil([&] { return !Queued(spec); }));
  EXPECT_THAT(modem_->Calls(), SizeIs(1));
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Completed"));
  EXPECT_TRUE(RequestFilesGone(spec));
}

// A report that fails during the call: its result is kept beside the request
// file, the next recipient is not called, and the request is not finished;
// once the report works again the result is booked before anything else of
// the request.
TEST_F(ModemHelperTest, AResultTheReportCannotTakeIsKeptAndBookedFirst) {
  const RequestSpec spec{.recipients = {"5550001", "5550002"}};
  const std::string kept = root() + "Requests/" + spec.id + ".unbooked";
  modem_->answer = [&](const std::string&) {
    tallier_->fail_with = E_ACCESSDENIED;
    return Reply{};
  };
  Queue(spec);
  {
    CModemHelper helper(modem_.Get(), 1, state_);
    ASSERT_TRUE(WaitUntil([&] { return Events(dialqueue_msg::kErrorIn, kOperation).size() >= 3; }));
  }
  EXPECT_THAT(modem_->Calls(), SizeIs(1));
  EXPECT_TRUE(std::filesystem::exists(kept));
  EXPECT_TRUE(std::filesystem::exists(RequestPath(spec)));

  tallier_->fail_with = S_OK;
  modem_->answer = nullptr;
  {
    CModemHelper helper(modem_.Get(), 1, state_);
    ASSERT_TRUE(WaitUntil([&] { return !Queued(spec); }));
  }
  EXPECT_THAT(modem_->Calls(), SizeIs(2));
  EXPECT_THAT(tallier_->Results("5550001"), SizeIs(1));
  const std::vector<ReportCall> calls = tallier_->Calls();
  // The first start, then the kept result before the second start.
  ASSERT_GE(calls.size(), 5u);
  EXPECT_EQ(calls[2].method, "AddCallResult");
  EXPECT_EQ(calls[2].number, "5550001");
  EXPECT_EQ(calls[3].value, "Completed");
  EXPECT_EQ(calls[3].number, "5550001");
  EXPECT_EQ(calls[4].value, "InProgress");
  EXPECT_EQ(calls[4].number, "5550002");
  EXPECT_THAT(tallier_->Statuses(""), ::testing::Contains("Completed"));
  EXPECT_FALSE(std::filesystem::exists(kept));
  EXPECT_TRUE(RequestFilesGone(spec));
}

TEST_F(ModemHelperTest, DestructionWaitsForTheCallAndThenReleasesTheDevice) {
  std::atomic<bool> in_call{false};
  std::atomic<bool> call_may_end{false};
  std::atomic<std::uint32_t> held_at_end{0};
  modem_->answer = [&](const std::string&) {
    in_call = true;
    WaitUntil([&] { return call_may_end.load(); });
    held_at_end = RefCount(modem_.Get());
    return Reply{};
  };
  Queue(RequestSpec());
  auto helper = std::make_unique<CModemHelper>(modem_.Get(), 1, state_);
  ASSERT_TRUE(WaitUntil([&] { return in_call.load(); }));
  // Asked to stop while the call runs, the line keeps its device.
  helper->RequestStop();
  EXPECT_EQ(RefCount(modem_.Get()), 2u);
  std::thread release([&] { helper.reset(); });
  call_may_end = true;
  release.join();
  EXPECT_EQ(held_at_end, 2u);  // still there when the call ended
  // The call in progress was finished and booked before the worker ended.
  EXPECT_THAT(tallier_->Statuses(kNumber), ElementsAre("InProgress", "Completed"));
  EXPECT_EQ(RefCount(modem_.Get()), 1u);
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
