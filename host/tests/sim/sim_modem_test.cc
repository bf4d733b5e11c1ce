#include "sim/sim_modem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <thread>

#include "ringwell/common/safe_files.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/wait.h"
#include "tone.h"

namespace ringwell::host {
namespace {

using ringwell::testing::ListDir;
using ::testing::HasSubstr;
using ::testing::SizeIs;

constexpr char kRequest[] = R"(<Request ID="{R1}" Type="Call">
  <NumberOfRings dt:dt="int">3</NumberOfRings>
  <MaxGreetingDuration dt:dt="int">30</MaxGreetingDuration>
  <CallTree>
    <Message Replays="0" Timeout="2">
      <MessagePart Type="File">hello.wav</MessagePart>
      <MessagePart Type="File">news.wav</MessagePart>
    </Message><Responses/>
  </CallTree></Request>)";

struct Result {
  std::string status, error, answer, protocol, time_type;
  std::optional<OleDate> time;
  std::optional<std::int64_t> duration;
  std::string answered_by;
};

Result ParseResult(const std::string& text) {
  xml::Document document;
  EXPECT_EQ(document.LoadXml(text), S_OK) << text;
  const pugi::xml_node call = document.FirstChild();
  EXPECT_STREQ(call.name(), "Call");
  const pugi::xml_node time = xml::ChildElement(call, "Time");
  return {call.attribute("Status").value(),
          call.attribute("Error").value(),
          xml::Text(xml::ChildElement(call, "Answer")),
          xml::Text(xml::ChildElement(call, "Protocol")),
          xml::DataType(time),
          xml::TypedDate(time),
          xml::TypedInt(xml::ChildElement(call, "Duration")),
          xml::Text(xml::ChildElement(call, "AnsweredBy"))};
}

class SimModemTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    wav_dir_ = scratch() + "wavs/";
    heard_dir_ = scratch() + "heard";
    std::filesystem::create_directories(wav_dir_);
    std::filesystem::create_directories(heard_dir_);
    WriteTone(wav_dir_ + "hello.wav", 8000);
    WriteTone(wav_dir_ + "news.wav", 4000);
  }

  Result Call(const std::string& scenario, const std::string& request = kRequest,
              MachineDetection host = {}) {
    auto modem = MakeComObject<SimModem>(2, std::make_shared<Scenario>(Scenario::Parse(scenario)),
                                         std::make_shared<SimulatedTime>(0), heard_dir_, host);
    std::string result;
    EXPECT_EQ(modem->MakeCall("5550001", request.c_str(), wav_dir_.c_str(), &result), S_OK);
    return ParseResult(result);
  }

  std::string wav_dir_, heard_dir_;
};

TEST_F(SimModemTest, AnAnsweredCallReportsWhatHappenedAndWhatTheCalleeHeard) {
  const OleDate before = OleDateNow();
  const Result result = Call(R"({"default": {"greeting": 3}})");
  EXPECT_EQ(result.status, "Completed");
  EXPECT_EQ(result.answer, "Answered");
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.time_type, "dateTime");
  ASSERT_TRUE(result.time);
  EXPECT_GE(*result.time, before - 1.0 / 86400);
  EXPECT_EQ(result.duration, 5);  // 3 s greeting, 1.5 s of messages
  EXPECT_THAT(result.protocol, HasSubstr("Simulated line 2 dialled 5550001"));
  EXPECT_THAT(result.protocol, HasSubstr("Played: hello.wav, news.wav (1.5 s)"));

  // Both files, one after the other.
  const auto heard = ListDir(heard_dir_);
  ASSERT_THAT(heard, SizeIs(1));
  EXPECT_THAT(heard[0], HasSubstr("{R1}-5550001-"));
  SF_INFO info{};
  SNDFILE* file = sf_open((heard_dir_ + "/" + heard[0]).c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  sf_close(file);
  EXPECT_EQ(info.frames, 12000);
  EXPECT_EQ(info.samplerate, 8000);
}

TEST_F(SimModemTest, AHangUpEndsTheCallInProgressAtOnce) {
  // A simulated second takes an hour: only the hang-up ends this call.
  const auto time = std::make_shared<SimulatedTime>(3600);
  auto modem =
      MakeComObject<SimModem>(2, std::make_shared<Scenario>(Scenario::Parse("{}")), time, "");
  EXPECT_EQ(modem->HangUp(), S_OK);  // no call: nothing to end
  std::string result;
  std::atomic<bool> done{false};
  std::thread call([&] {
    modem->MakeCall("5550001", kRequest, wav_dir_.c_str(), &result);
    done = true;
  });
  // Hung up again until it ends, as the scheduler does: the call may not
  // have begun at the first try.
  EXPECT_TRUE(ringwell::testing::WaitUntil([&] {
    modem->HangUp();
    return done.load();
  }));
  time->Shutdown();  // ends the call when the hang-up did not
  call.join();
  const Result ended = ParseResult(result);
  EXPECT_EQ(ended.status, "Failed");
  EXPECT_EQ(ended.error, "the host hung up");
  EXPECT_THAT(ended.protocol, HasSubstr("Hung up by the host"));
}

TEST_F(SimModemTest, EveryOutcomeHasItsWords) {
  const std::array<const char*, 4> cases[] = {
      // scenario, Answer, Status, Error
      {R"({"default": {"outcome": "busy"}})", "Busy", "Busy", ""},
      {R"({"default": {"outcome": "noanswer"}})", "NoAnswer", "NoAnswer", ""},
      {R"({"default": {"rings": 4}})", "NoAnswer", "NoAnswer", ""},  // 3 rings allowed
      {R"({"default": {"outcome": "failure", "error": "No dial tone"}})", "Failed", "Failed",
       "No dial tone"},
  };
  for (const auto& [scenario, answer, status, error] : cases) {
    const Result result = Call(scenario);
    EXPECT_EQ(result.answer, answer) << scenario;
    EXPECT_EQ(result.status, status) << scenario;
    EXPECT_EQ(result.error, error) << scenario;
    EXPECT_EQ(result.duration, 0) << scenario;
  }
  EXPECT_THAT(ListDir(heard_dir_), SizeIs(0));
}

TEST_F(SimModemTest, WhoAnsweredComesFromTheScenarioAndWhatFollowsFromTheRequest) {
  // The request's MachineDetection attribute over the host's settings.
  auto request = [](const char* detection) {
    std::string text = kRequest;
    return text.replace(text.find(" Type="), 0,
                        std::string(" MachineDetection=\"") + detection + "\"");
  };
  MachineDetection host;
  host.machine = MachineAction::kHangUpAndRetry;
  const struct {
    const char* scenario;
    std::string request;
    const char* answered_by;
    const char* status;
    int duration;      // greeting wait + 1.5 s of messages, or 0 without a message
    const char* line;  // the protocol holds it
  } kCases[] = {
      {R"({"default": {"greeting": 1}})", kRequest, "Human", "Completed", 3,
       "Answered by: Human, decided at 1.00 s (the scenario's callee is a person); greeting 1.0 s"},
      // A machine's message waits for the end of its greeting by default...
      {R"({"default": {"answered_by": "machine", "greeting": 6}})", kRequest, "Machine",
       "Completed", 8, "Answered by: Machine, decided at 1.50 s"},
      // ... starts at once when the request says play...
      {R"({"default": {"answered_by": "machine", "greeting": 6}})", request("machine=play"),
       "Machine", "Completed", 3, "Greeting 1.5 s"},
      {R"({"default": {"answered_by": "machine", "greeting": 6}})",
       request("machine=play,greeting=3"), "Machine", "Completed", 5, "decided at 3.00 s"},
      // ... and is not left with hangup-and-retry: not answered.
      {R"({"default": {"answered_by": "machine", "greeting": 6}})",
       request("machine=hangup-and-retry"), "Machine", "NoAnswer", 2,
       "A machine answered: hung up without a message, to try again as not answered"},
      {R"({"default": {"answered_by": "unknown"}})", kRequest, "Unknown", "Completed", 4,
       "Answered by: Unknown, decided at 2.50 s (no speech within 2.5 s); no speech"},
      // A greeting wait shorter than the decision leaves it open.
      {R"({"default": {"answered_by": "machine", "greeting": 6}})",
       std::string(kRequest).replace(std::string(kRequest).find(">30<"), 4, ">1<"), "Unknown",
       "Completed", 3, "Greeting still going after 1.0 s; message started"},
  };
  for (const auto& c : kCases) {
    const Result result = Call(c.scenario, c.request);
    EXPECT_EQ(result.answered_by, c.answered_by) << c.scenario << c.request;
    EXPECT_EQ(result.status, c.status) << c.scenario << c.request;
    EXPECT_EQ(result.answer, c.status == std::string("NoAnswer") ? "NoAnswer" : "Answered");
    EXPECT_EQ(result.duration, c.duration) << c.scenario << c.request;
    EXPECT_THAT(result.protocol, HasSubstr(c.line)) << c.request;
  }
  // The host's own settings apply where the request says nothing; a request
  // setting that cannot be used is noted, and the host's settings stay.
  const char* machine = R"({"default": {"answered_by": "machine", "greeting": 6}})";
  EXPECT_EQ(Call(machine, kRequest, host).status, "NoAnswer");
  EXPECT_EQ(Call(machine, request("machine=play"), host).status, "Completed");
  const Result odd = Call(machine, request("machine=shout"), host);
  EXPECT_EQ(odd.status, "NoAnswer");
  EXPECT_THAT(odd.protocol, HasSubstr("MachineDetection of the request not used: machine: "
                                      "\"shout\" is not one of"));
}

// A part whose wav file is missing or refused cannot be played: the call
// fails (and is retried under the error rule), naming what was not played.
TEST_F(SimModemTest, MissingWavFilesFailTheCallAndNeverLeaveTheDirectory) {
  // Below the storage root a planted link counts as missing: never played.
  RegisterStorageRoot(wav_dir_);
  WriteTone(scratch() + "outside.wav", 8000);
  std::filesystem::create_symlink(scratch() + "outside.wav", wav_dir_ + "linked.wav");
  const Result result = Call("{}", R"(<Request ID="{R2}"><CallTree><Message Replays="0">)"
                                   R"(<MessagePart Type="File">gone.wav</MessagePart>)"
                                   R"(<MessagePart Type="File">../wavs/hello.wav</MessagePart>)"
                                   R"(<MessagePart Type="File">linked.wav</MessagePart>)"
                                   R"(<MessagePart Type="File">hello.wav</MessagePart>)"
                                   R"(</Message><Responses/></CallTree></Request>)");
  EXPECT_EQ(result.status, "Failed");
  EXPECT_EQ(result.answer, "Answered");
  EXPECT_EQ(result.error, "Not played: gone.wav (missing or unreadable) and 2 more");
  EXPECT_THAT(result.protocol, HasSubstr("Not played: gone.wav (missing or unreadable)"));
  EXPECT_THAT(result.protocol, HasSubstr("Not played: ../wavs/hello.wav (not a plain file name)"));
  EXPECT_THAT(result.protocol, HasSubstr("Not played: linked.wav (missing or unreadable)"));
  EXPECT_THAT(result.protocol, ::testing::Not(HasSubstr("Not played: hello.wav")));
}

}  // namespace
}  // namespace ringwell::host
