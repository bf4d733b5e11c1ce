// The SIP line against baresip callees on 127.0.0.1: what the callee hears,
// the keys it presses (tones in its audio, RFC 4733 events), and how calls
// end (busy, no answer, unreachable, hung up by the callee).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "baresip_callee.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "sip_modem.h"

namespace ringwell::host::sip {
namespace {

using namespace testing;
using ringwell::testing::WriteFile;
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
    WriteWav(wav_dir_ + "long.wav", Melody(6));
  }

  // An account for callees on 127.0.0.1, half a second a ring.
  static SipAccount LoopbackAccount(const std::string& uri_template) {
    SipAccount account;
    account.uri_template = uri_template;
    account.local_address = "127.0.0.1";
    account.ring_period = 0.5;
    return account;
  }

  std::unique_ptr<SipStack> StartStack(const std::string& uri_template) {
    return StartStack(LoopbackAccount(uri_template));
  }
  std::unique_ptr<SipStack> StartStack(SipAccount account) {
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

// What the callee does while the line calls it.
enum class Act { kNothing, kReject, kTypeKey };

struct Case {
  const char* name;
  Samples callee;  // what the callee says (it hangs up when this has played)
  bool answers;
  Act act;
  std::string tree;
  int max_greeting;
  const char* status;
  const char* answer;
  const char* sip_code;
  std::vector<std::string> protocol;  // lines the protocol holds, in this order
  bool hears_message = false;         // the callee's recording holds message.wav
  bool unreachable = false;           // the URI points where nobody listens
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// A person answering "Hello?" (tests/data/amd), then quiet for 1.5 s.
Samples Greeting() {
  return ReadWav(std::string(RINGWELL_AMD_CORPUS_DIR) + "/person-hello-us.wav");
}

const Case kCases[] = {
    {"AnsweredAndHeard",
     Join({Greeting(), Silence(8)}),
     true,
     Act::kNothing,
     kPlainTree,
     10,
     "Completed",
     "Answered",
     "200",
     {"Greeting 1.", "Played: message.wav (2.0 s)", "Call tree finished; line hung up"},
     true},
    {"AToneInTheCalleesAudioChoosesTheResponse",
     Join({Greeting(), Silence(1.4), KeyTone('2', 0.2), Silence(0.2), KeyTone('2', 0.2),
           Silence(5)}),
     true,
     Act::kNothing,
     kMenuTree,
     10,
     "Completed",
     "Answered",
     "200",
     {"Played: menu.wav", "Key 2 heard as tone", "Key 2 pressed: response for button 2",
      "Played: two.wav (0.4 s)", "Call tree finished"}},
    {"AnRfc4733EventChoosesTheResponse",
     Join({Greeting(), Silence(8)}),
     true,
     Act::kTypeKey,
     kMenuTree,
     10,
     "Completed",
     "Answered",
     "200",
     {"Key 1 heard as RFC 4733 event", "Key 1 pressed: response for button 1",
      "Played: one.wav (0.4 s)", "Call tree finished"}},
    {"AGreetingLongerThanMaxGreetingDuration",
     Join({Noise(5, 2), Silence(3)}),
     true,
     Act::kNothing,
     kPlainTree,
     2,
     "Completed",
     "Answered",
     "200",
     {"Greeting still going after 2.0 s; message started", "Played: message.wav (2.0 s)"}},
    {"TheCalleeHangsUpEarly",
     Join({Greeting(), Silence(1.2)}),
     true,
     Act::kNothing,
     R"(<Message Replays="0" Timeout="2"><MessagePart Type="File">long.wav</MessagePart></Message>)",
     10,
     "Completed",
     "Answered",
     "200",
     {"Callee hung up after"}},
    {"UnansweredIsNoAnswerAfterTheRingTime",
     Silence(8),
     false,
     Act::kNothing,
     kPlainTree,
     10,
     "NoAnswer",
     "NoAnswer",
     "487",  // the last reply: the one that ended the INVITE after the CANCEL
     {"No answer within 2 s; cancelled", "Reply: 487 Request Terminated"}},
    {"ARejectingCalleeIsBusy",
     Silence(8),
     false,
     Act::kReject,
     kPlainTree,
     10,
     "Busy",
     "Busy",
     "486",
     {"Reply: 486 Rejected"}},
    {"AMissingWavFileFailsTheCall",
     Join({Greeting(), Silence(8)}),
     true,
     Act::kNothing,
     R"(<Message Replays="0" Timeout="2"><MessagePart Type="File">gone.wav</MessagePart><MessagePart Type="File">message.wav</MessagePart></Message>)",
     10,
     "Failed",
     "Answered",
     "200",
     {"Played: gone.wav, message.wav (2.0 s)", "Not played: gone.wav (", "Call tree finished"},
     true},
    {"AnUnreachableAddressFails",
     Silence(1),
     true,
     Act::kNothing,
     kPlainTree,
     10,
     "Failed",
     "Failed",
     "",
     {"No reply to the INVITE within 2 s"},
     false,
     true},
};

class SipCallCase : public SipLineTest, public ::testing::WithParamInterface<Case> {};

TEST_P(SipCallCase, Call) {
  const Case& c = GetParam();
  BaresipCallee callee(scratch() + "callee", c.callee, c.answers);
  ASSERT_TRUE(callee.ready());
  auto stack = StartStack(c.unreachable ? "sip:{number}@127.0.0.1:" + std::to_string(FreePort())
                                        : callee.UriTemplate());
  ASSERT_NE(stack, nullptr);

  // A call nobody answers rings for the configured time (four rings of half
  // a second), measured here: from before the dial, and from the moment the
  // callee saw the INVITE, to the result.
  using Clock = std::chrono::steady_clock;
  const bool rings_out = !c.answers || c.unreachable;
  const auto dialled = Clock::now();
  std::atomic<Clock::time_point> incoming{dialled};
  std::atomic<bool> done{false};
  std::jthread act([&] {
    if (rings_out && !c.unreachable && c.act == Act::kNothing &&
        callee.WaitForOutput("Incoming call", std::chrono::seconds(10))) {
      incoming = Clock::now();
    }
    if (c.act == Act::kReject && callee.WaitForOutput("Incoming call", std::chrono::seconds(5))) {
      callee.Type("b");
    }
    if (c.act == Act::kTypeKey && callee.WaitForOutput("established", std::chrono::seconds(5))) {
      while (!done) {  // keys during the greeting are not heard; keep pressing
        callee.Type("/sndcode 1\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
      }
    }
  });
  const Result result = Call(*stack, Request(4, c.max_greeting, c.tree));
  const auto ended = Clock::now();
  done = true;
  act.join();
  if (rings_out && c.act == Act::kNothing) {
    const auto ring_time = std::chrono::milliseconds(4 * 500);
    EXPECT_GE(ended - dialled, ring_time) << "ended before the ring time";
    // Slack for the CANCEL and its reply on a loaded machine, far below a
    // second ring time.
    EXPECT_LE(ended - incoming.load(), ring_time + std::chrono::seconds(2))
        << "rang on past the ring time";
  }
  EXPECT_EQ(result.status, c.status) << result.protocol;
  EXPECT_EQ(result.answer, c.answer);
  EXPECT_EQ(result.sip_code, c.sip_code);
  EXPECT_EQ(result.error.empty(), std::string(c.status) != "Failed") << result.error;
  std::size_t at = 0;
  for (const std::string& line : c.protocol) {
    const std::size_t found = result.protocol.find(line, at);
    EXPECT_NE(found, std::string::npos) << "\"" << line << "\" after position " << at << " of\n"
                                        << result.protocol;
    if (found != std::string::npos) at = found + line.size();
  }
  if (c.hears_message) {
    const Samples heard = callee.Heard();
    std::size_t offset = 0;
    EXPECT_GT(BestCorrelation(Melody(2), heard, &offset), 0.95);
    EXPECT_GE(heard.size(), offset + Melody(2).size());
    EXPECT_GE(*result.duration, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(, SipCallCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SipLineTest, EightLinesCallEightCalleesAtOnce) {
  constexpr int kLines = 8;
  std::vector<std::unique_ptr<BaresipCallee>> callees;
  for (int i = 0; i < kLines; ++i) {
    callees.push_back(std::make_unique<BaresipCallee>(scratch() + "callee" + std::to_string(i),
                                                      Join({Greeting(), Silence(8)})));
    ASSERT_TRUE(callees.back()->ready());
  }
  // Every callee listens on its own port; the number picks it.
  auto stack = StartStack("sip:5550100@127.0.0.1:{number}");
  ASSERT_NE(stack, nullptr);
  std::vector<Result> results(kLines);
  {
    std::vector<std::jthread> lines;
    for (int i = 0; i < kLines; ++i) {
      lines.emplace_back([&, i] {
        auto modem = MakeComObject<SipModem>(i + 1, *stack);
        std::string result;
        const std::string port = std::to_string(callees[i]->port());
        const std::string request = Request(4, 10, kPlainTree);
        if (modem->MakeCall(port.c_str(), request.c_str(), wav_dir_.c_str(), &result) == S_OK) {
          results[i] = ParseResult(result);
        }
      });
    }
  }
  for (int i = 0; i < kLines; ++i) {
    SCOPED_TRACE("line " + std::to_string(i + 1));
    EXPECT_EQ(results[i].status, "Completed") << results[i].protocol;
    EXPECT_THAT(results[i].protocol, HasSubstr("Played: message.wav (2.0 s)"));
    std::size_t offset = 0;
    EXPECT_GT(BestCorrelation(Melody(2), callees[i]->Heard(), &offset), 0.95);
  }
}

// A host that stops ends the call in progress at once: a ringing call is
// cancelled and fails saying why, an answered one is hung up and its walk
// notes the stop. So does a hang-up of the call alone (a fenced host). Stopping again and again
// while the line ends the call changes nothing.
TEST_F(SipLineTest, AStoppingHostEndsTheCallInProgress) {
  const struct {
    const char* name;
    bool answers;
    const char* call_state;  // the callee's output once the call is in that state
    const char* status;
    const char* error;
    const char* protocol;
    bool hang_up = false;  // the call alone is hung up (a fenced host), not the line stopped
  } cases[] = {
      {"ringing", false, "Incoming call", "Failed", "The host is stopping", "Calling "},
      // The line's audio reaching the callee: the line knows it is answered.
      {"answered", true, "incoming rtp", "Completed", "", "Host stopping: call ended after"},
      {"hung-up", true, "incoming rtp", "Completed", "", "call ended after", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BaresipCallee callee(scratch() + "callee-" + c.name, Join({Greeting(), Silence(30)}),
                         c.answers);
    ASSERT_TRUE(callee.ready());
    auto stack = StartStack(callee.UriTemplate());
    ASSERT_NE(stack, nullptr);
    auto modem = MakeComObject<SipModem>(1, *stack);
    std::atomic<bool> done{false};
    std::jthread stopper([&] {
      if (!callee.WaitForOutput(c.call_state, std::chrono::seconds(10))) return;
      while (!done) {
        if (c.hang_up) {
          modem->HangUp();
        } else {
          modem->Stop();
        }
      }
    });
    // Twenty rings of half a second and a long message: without the stop the
    // call would outlast the test.
    const std::string request = Request(
        20, 10,
        R"(<Message Replays="0" Timeout="2"><MessagePart Type="File">long.wav</MessagePart></Message>)");
    std::string xml;
    EXPECT_EQ(modem->MakeCall("5550100", request.c_str(), wav_dir_.c_str(), &xml), S_OK);
    done = true;
    stopper.join();
    const Result result = ParseResult(xml);
    EXPECT_EQ(result.status, c.status) << result.protocol;
    EXPECT_EQ(result.error, c.error);
    EXPECT_THAT(result.protocol, HasSubstr(c.protocol));
    // The callee's side of the call is closed (CANCEL or BYE).
    EXPECT_TRUE(callee.WaitForOutput("session closed", std::chrono::seconds(10)));
  }
}

// A self-signed certificate for 127.0.0.1 (certificate and key in one file).
std::string MakeCertificate(const std::string& path, const std::string& name = "127.0.0.1") {
  const std::string san = name == "127.0.0.1" ? "IP:" + name : "DNS:" + name;
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name +
      " -addext subjectAltName=" + san + " -keyout '" + path + ".key' -out '" + path +
      "' 2>/dev/null && cat '" + path + ".key' >> '" + path + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
  return path;
}

// Over TLS the line verifies the callee's certificate against the configured
// authorities and the callee's address: a trusted certificate for that
// address carries the call; an unknown one, or one for another name, fails
// it, saying so.
TEST_F(SipLineTest, TlsCallsReachOnlyACalleeWithATrustedCertificate) {
  const std::string certificate = MakeCertificate(scratch() + "callee.pem");
  const std::string stranger = MakeCertificate(scratch() + "stranger.pem");
  const std::string elsewhere = MakeCertificate(scratch() + "elsewhere.pem", "pbx.example.org");
  const struct {
    const char* name;
    std::string presented, trusted;
    const char* status;
  } cases[] = {{"trusted", certificate, certificate, "Completed"},
               {"unknown", certificate, stranger, "Failed"},
               {"another name", elsewhere, elsewhere, "Failed"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BaresipCallee callee(scratch() + "callee-" + c.name, Join({Greeting(), Silence(8)}), true,
                         c.presented);
    ASSERT_TRUE(callee.ready());
    SipAccount account = LoopbackAccount(callee.TlsUriTemplate());
    account.transport = "tls";
    account.ca_file = c.trusted;
    auto stack = StartStack(account);
    ASSERT_NE(stack, nullptr);
    const Result result = Call(*stack, Request(4, 10, kPlainTree));
    EXPECT_EQ(result.status, c.status) << result.protocol << result.error;
    if (std::string_view(c.status) == "Completed") {
      std::size_t offset = 0;
      EXPECT_GT(BestCorrelation(Melody(2), callee.Heard(), &offset), 0.95);
    } else {
      EXPECT_THAT(result.error, HasSubstr("certificate")) << result.error;
      EXPECT_FALSE(callee.WaitForOutput("Incoming call", std::chrono::milliseconds(100)));
    }
  }
}

TEST_F(SipLineTest, AFailedRegistrationFailsTheCallsAndIsLogged) {
  // The callee is no registrar: it answers REGISTER with an error.
  BaresipCallee callee(scratch() + "callee", Silence(8));
  ASSERT_TRUE(callee.ready());
  SipAccount account;
  account.uri_template = callee.UriTemplate();
  account.registrar = "sip:127.0.0.1:" + std::to_string(callee.port());
  account.local_address = "127.0.0.1";
  account.password_file = scratch() + "password";
  WriteFile(account.password_file, "s3cret-Pa55\n");
  std::filesystem::permissions(account.password_file, std::filesystem::perms::owner_read);
  std::string error;
  ASSERT_TRUE(PrepareAccount(account, &error)) << error;
  auto stack = SipStack::Start(account, &error);
  ASSERT_NE(stack, nullptr) << error;

  const Result result = Call(*stack, Request(4, 10, kPlainTree));
  EXPECT_EQ(result.status, "Failed") << result.protocol;
  EXPECT_THAT(result.error, HasSubstr("Registration at " + account.registrar + " failed: "));
  EXPECT_THAT(result.error, ::testing::ContainsRegex("failed: [4-6][0-9][0-9] "));
  bool logged = false;
  for (const auto& entry : EventLogEntries()) {
    logged |= entry.text.find("Registration at " + account.registrar) != std::string::npos;
    EXPECT_EQ(entry.text.find("s3cret"), std::string::npos);
  }
  EXPECT_TRUE(logged) << result.error;
  EXPECT_EQ(result.protocol.find("s3cret"), std::string::npos);
}

}  // namespace
}  // namespace ringwell::host::sip
