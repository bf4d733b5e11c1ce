#include "sim/sim_modem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <array>
#include <filesystem>

#include "ringwell/common/safe_files.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
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
          xml::TypedInt(xml::ChildElement(call, "Duration"))};
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

  Result Call(const std::string& scenario, const std::string& request = kRequest) {
    auto modem = MakeComObject<SimModem>(2, std::make_shared<Scenario>(Scenario::Parse(scenario)),
                                         std::make_shared<SimulatedTime>(0), heard_dir_);
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
  EXPECT_THAT(result.protocol, HasSubstr("Line 2 dialled 5550001"));
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
