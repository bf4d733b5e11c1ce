// The SIP line against baresip callees on 127.0.0.1: what the callee hears,
// the keys it presses (tones in its audio, RFC 4733 events), and how calls
// end (busy, no answer, unreachable, hung up by the callee).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <thread>

#include "baresip_callee.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "sip_modem.h"

namespace ringwell::host::sip {
namespace {

using namespace testing;
using ::testing::Contains;
using ::testing::HasSubstr;

// A message the callee must hear: a run of tones of changing pitch.
Samples Melody(double seconds) {
  Samples melody(static_cast<std::size_t>(seconds * 8000));
  for (std::size_t i = 0; i < melody.size(); ++i) {
    const double pitch = 300 + 150 * double((i / 800) % 5);
    melody[i] = static_cast<std::int16_t>(9000 * std::sin(2 * M_PI * pitch * double(i) / 8000));
  }
  return melody;
}

void WriteMuLaw(const std::string& path, const Samples& samples) {
  SF_INFO info{};
  info.samplerate = 8000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_ULAW;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

std::string Request(int rings, int max_greeting, const std::string& tree) {
  return R"(<Request ID="{R1}" Type="Call"><NumberOfRings dt:dt="int">)" + std::to_string(rings) +
         R"(</NumberOfRings><MaxGreetingDuration dt:dt="int">)" + std::to_string(max_greeting) +
         "</MaxGreetingDuration><CallTree>" + tree + "</CallTree></Request>";
}

const char kPlainTree[] =
    R"(<Message Replays="0" Timeout="2"><MessagePart Type="File">message.wav</MessagePart></Message><Responses/>)";
const char kMenuTree[] =
    R"(<Message Replays="0" Timeout="6"><MessagePart Type="File">menu.wav</MessagePart></Message>
       <Responses>
         <Response Button="1"><Message Replays="0" Timeout="2"><MessagePart Type="File">one.wav</MessagePart></Message></Response>
         <Response Button="2"><Message Replays="0" Timeout="2"><MessagePart Type="File">two.wav</MessagePart></Message></Response>
       </Responses>)";

struct Result {
  std::string status, error, answer, protocol, sip_code;
  std::optional<std::int64_t> duration;
};

Result ParseResult(const std::string& text) {
  xml::Document document;
  EXPECT_EQ(document.LoadXml(text), S_OK) << text;
  const pugi::xml_node call = document.FirstChild();
  return {call.attribute("Status").value(),
          call.attribute("Error").value(),
          xml::Text(xml::ChildElement(call, "Answer")),
          xml::Text(xml::ChildElement(call, "Protocol")),
          xml::ChildElement(call, "SipReply").attribute("Code").value(),
          xml::TypedInt(xml::ChildElement(call, "Duration"))};
}

class SipLineTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    wav_dir_ = scratch() + "wavs/";
    std::filesystem::create_directories(wav_dir_);
    WriteWav(wav_dir_ + "message.wav", Melody(2));
    WriteMuLaw(wav_dir_ + "menu.wav", Melody(1));
    WriteWav(wav_dir_ + "one.wav", Silence(0.4));
    WriteWav(wav_dir_ + "two.wav", Silence(0.4));
  }

  std::unique_ptr<SipStack> StartStack(const std::string& uri_template) {
    SipAccount account;
    account.uri_template = uri_template;
    account.local_address = "127.0.0.1";
    account.ring_period = 0.5;
    std::string error;
    EXPECT_TRUE(PrepareAccount(account, &error)) << error;
    auto stack = SipStack::Start(account, &error);
    EXPECT_NE(stack, nullptr) << error;
    return stack;
  }

  Result Call(SipStack& stack, const std::string& request) {
    auto modem = MakeComObject<SipModem>(1, stack);
    std::string result;
    EXPECT_EQ(modem->MakeCall("5550100", request.c_str(), wav_dir_.c_str(), &result), S_OK);
    return ParseResult(result);
  }

  std::string wav_dir_;
};

TEST_F(SipLineTest, TheCalleeHearsTheMessage) {
  BaresipCallee callee(scratch() + "callee", Join({Noise(0.8, 1), Silence(8)}));
  ASSERT_TRUE(callee.ready());
  auto stack = StartStack(callee.UriTemplate());
  const Result result = Call(*stack, Request(4, 10, kPlainTree));
  EXPECT_EQ(result.status, "Completed") << result.protocol << result.error;
  EXPECT_EQ(result.answer, "Answered");
  EXPECT_EQ(result.sip_code, "200");
  EXPECT_THAT(result.protocol, HasSubstr("Played: message.wav (2.0 s)"));
  const Samples heard = callee.Heard();
  std::size_t offset = 0;
  EXPECT_GT(BestCorrelation(Melody(2), heard, &offset), 0.95);
  EXPECT_GE(heard.size(), Melody(2).size());
}

}  // namespace
}  // namespace ringwell::host::sip
