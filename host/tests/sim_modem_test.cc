#include "sim_modem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>

#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "sim_pager.h"

namespace ringwell::host {
namespace {

using ringwell::testing::ReadFile;
using ::testing::HasSubstr;
using ::testing::SizeIs;

void WriteTone(const std::string& path, int frames, int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  std::vector<short> samples(static_cast<std::size_t>(frames), 1000);
  sf_writef_short(file, samples.data(), frames);
  sf_close(file);
}

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
    WriteTone(wav_dir_ + "hello.wav", 8000, 8000);
    WriteTone(wav_dir_ + "news.wav", 4000, 8000);
  }

  Result Call(const std::string& scenario_json, const std::string& number) {
    auto modem =
        MakeComObject<SimModem>(2, std::make_shared<Scenario>(Scenario::Parse(scenario_json)),
                                std::make_shared<SimulatedTime>(0), heard_dir_);
    std::string result;
    EXPECT_EQ(modem->MakeCall(number.c_str(), kRequest, wav_dir_.c_str(), &result), S_OK);
    return ParseResult(result);
  }

  std::string wav_dir_;
  std::string heard_dir_;
};

TEST_F(SimModemTest, AnAnsweredCallReportsWhatHappened) {
  const OleDate before = OleDateNow();
  const Result result = Call(R"({"default": {"greeting": 3}})", "5550001");
  EXPECT_EQ(result.status, "Completed");
  EXPECT_EQ(result.answer, "Answered");
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.time_type, "dateTime");
  ASSERT_TRUE(result.time);
  EXPECT_GE(*result.time, before - 1.0 / 86400);
  EXPECT_EQ(result.duration, 5);  // 3 s greeting, 1.5 s of messages
  EXPECT_THAT(result.protocol, HasSubstr("Line 2 dialled 5550001"));
  EXPECT_THAT(result.protocol, HasSubstr("Played: hello.wav, news.wav (1.5 s)"));

  // What the callee heard: both files, one after the other.
  const auto heard = ringwell::testing::ListDir(heard_dir_);
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
  struct Case {
    const char* scenario;
    const char* answer;
    const char* status;
    const char* error;
  };
  const Case cases[] = {
      {R"({"default": {"outcome": "busy"}})", "Busy", "Busy", ""},
      {R"({"default": {"outcome": "noanswer"}})", "NoAnswer", "NoAnswer", ""},
      {R"({"default": {"rings": 4}})", "NoAnswer", "NoAnswer", ""},  // 3 rings allowed
      {R"({"default": {"outcome": "failure", "error": "No dial tone"}})", "Failed", "Failed",
       "No dial tone"},
  };
  for (const Case& c : cases) {
    const Result result = Call(c.scenario, "5550001");
    EXPECT_EQ(result.answer, c.answer) << c.scenario;
    EXPECT_EQ(result.status, c.status) << c.scenario;
    EXPECT_EQ(result.error, c.error) << c.scenario;
    EXPECT_EQ(result.duration, 0) << c.scenario;
  }
  EXPECT_THAT(ringwell::testing::ListDir(heard_dir_), SizeIs(0));
}

TEST_F(SimModemTest, MissingWavFilesAreNotedAndNeverLeaveTheDirectory) {
  const std::string tree = R"(<Request ID="{R2}"><CallTree><Message Replays="0" Timeout="2">)"
                           R"(<MessagePart Type="File">gone.wav</MessagePart>)"
                           R"(<MessagePart Type="File">../wavs/hello.wav</MessagePart></Message>)"
                           R"(<Responses/></CallTree></Request>)";
  auto modem = MakeComObject<SimModem>(1, std::make_shared<Scenario>(),
                                       std::make_shared<SimulatedTime>(0), "");
  std::string text;
  ASSERT_EQ(modem->MakeCall("1", tree.c_str(), wav_dir_.c_str(), &text), S_OK);
  const Result result = ParseResult(text);
  EXPECT_EQ(result.status, "Completed");
  EXPECT_THAT(result.protocol, HasSubstr("Missing wav file: gone.wav"));
  EXPECT_THAT(result.protocol, HasSubstr("Missing wav file: ../wavs/hello.wav"));
}

TEST_F(SimModemTest, ThePagerAnswersEachPageAndLogsIt) {
  const std::string log = scratch() + "pager.log";
  auto pager = MakeComObject<SimPager>(
      std::make_shared<Scenario>(
          Scenario::Parse(R"({"rules": [{"number": "2", "outcome": "failure"}]})")),
      log);
  const char* numbers[] = {"1", "2"};
  const char* services[] = {"Alpha", ""};
  const char* requests[] = {kRequest, kRequest};
  std::vector<std::string> results;
  ASSERT_EQ(pager->SendPages(2, numbers, services, requests, &results), S_OK);
  ASSERT_THAT(results, SizeIs(2));
  EXPECT_EQ(ParseResult(results[0]).status, "Sent");
  EXPECT_EQ(ParseResult(results[1]).status, "Failed");
  EXPECT_EQ(ParseResult(results[1]).error, "Line failure");

  const std::string lines = ReadFile(log);
  EXPECT_THAT(lines, HasSubstr("\t1\tAlpha\t{R1}\tSent\t[hello.wav] [news.wav]\n"));
  EXPECT_THAT(lines, HasSubstr("\t2\t\t{R1}\tFailed\t"));
  results.clear();
  EXPECT_EQ(pager->SendPages(0, nullptr, nullptr, nullptr, &results), S_OK);
  EXPECT_THAT(results, SizeIs(0));
}

}  // namespace
}  // namespace ringwell::host
