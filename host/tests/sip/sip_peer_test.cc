// The SIP line against SIPp callees on 127.0.0.1 that answer the way few
// phones do: an answer that rejects the audio, a 200 OK with tens of
// kilobytes of headers, a BYE before the line's ACK, a BYE that is refused.
// SIPp checks what the line sends back (the ACK and BYE of every dialog the
// line books), the test checks the call result.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "baresip_callee.h"
#include "open_files.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "sip_audio.h"
#include "sip_modem.h"
#include "sipp_callee.h"

namespace ringwell::host::sip {
namespace {

using namespace testing;
using ::testing::HasSubstr;
using ::testing::Not;

// A one-message tree; no greeting comes from SIPp, so the line waits at most
// one second for it.
const char kRequest[] =
    R"(<Request ID="{R1}" Type="Call"><NumberOfRings dt:dt="int">4</NumberOfRings>)"
    R"(<MaxGreetingDuration dt:dt="int">1</MaxGreetingDuration><CallTree>)"
    R"(<Message Replays="0" Timeout="2"><MessagePart Type="File">short.wav</MessagePart></Message>)"
    R"(</CallTree></Request>)";

const char kInvite[] = "<recv request=\"INVITE\"/>\n";

// The callee's side of the dialog, from the INVITE: the line's Contact (where
// a BYE goes) and the From and To of a request the callee sends.
const char kRememberInvite[] =
    "<recv request=\"INVITE\"><action>"
    "<ereg regexp=\"sip:[^>;]*\" search_in=\"hdr\" header=\"Contact:\" assign_to=\"contact\"/>"
    "<ereg regexp=\".*\" search_in=\"hdr\" header=\"From:\" assign_to=\"caller\"/>"
    "<ereg regexp=\".*\" search_in=\"hdr\" header=\"To:\" assign_to=\"callee\"/>"
    "</action></recv>\n";

const char kTrying[] =
    "<send><![CDATA[\nSIP/2.0 100 Trying\n[last_Via:]\n[last_From:]\n[last_To:]\n"
    "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";

const char kRejectedAudioSdp[] =
    "v=0\n"
    "o=callee 1 1 IN IP4 127.0.0.1\n"
    "s=-\n"
    "c=IN IP4 0.0.0.0\n"
    "t=0 0\n"
    "m=audio 0 RTP/AVP 0\n"
    "a=rtpmap:0 PCMU/8000\n";

// About 54 KB of header lines.
std::string HugeHeaders() {
  std::string headers;
  for (int i = 0; i < 540; ++i) {
    headers += "X-Filler-" + std::to_string(i) + ": " + std::string(84, 'f') + "\n";
  }
  return headers;
}

struct Result {
  std::string status, error, answer, protocol, sip_code, sip_reason;
};

Result ParseResult(const std::string& text) {
  xml::Document document;
  EXPECT_EQ(document.LoadXml(text), S_OK) << text;
  const pugi::xml_node call = document.FirstChild();
  const pugi::xml_node reply = xml::ChildElement(call, "SipReply");
  return {call.attribute("Status").value(),
          call.attribute("Error").value(),
          xml::Text(xml::ChildElement(call, "Answer")),
          xml::Text(xml::ChildElement(call, "Protocol")),
          reply.attribute("Code").value(),
          xml::Text(reply)};
}

class SipPeerTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    wav_dir_ = scratch() + "wavs/";
    std::filesystem::create_directories(wav_dir_);
    WriteWav(wav_dir_ + "short.wav", Silence(0.2));
  }

  // Calls the SIPp callee running `steps`; the result once SIPp has ended.
  Result Call(const std::string& steps, bool* passed, bool tcp = false,
              const char* request = kRequest) {
    SippCallee callee(scratch() + "sipp", steps, tcp);
    EXPECT_TRUE(callee.ready()) << callee.Errors();
    if (!callee.ready()) return {};
    SipAccount account;
    account.uri_template = callee.UriTemplate();
    account.local_address = "127.0.0.1";
    account.ring_period = 1;
    if (tcp) account.transport = "tcp";
    std::string error;
    EXPECT_TRUE(PrepareAccount(account, &error)) << error;
    auto stack = SipStack::Start(account, &error);
    EXPECT_NE(stack, nullptr) << error;
    if (stack == nullptr) return {};
    auto modem = MakeComObject<SipModem>(1, *stack);
    std::string xml;
    EXPECT_EQ(modem->MakeCall("5550100", request, wav_dir_.c_str(), &xml), S_OK);
    *passed = callee.Passed(std::chrono::seconds(40));
    EXPECT_TRUE(*passed) << callee.Errors();
    return ParseResult(xml);
  }

  std::string wav_dir_;
};

// An answer whose audio stream is rejected (port 0, no address) leaves
// nothing to play to: the call fails saying so, and the dialog the 200 OK
// made is acknowledged and ended.
TEST_F(SipPeerTest, AnAnswerThatRejectsTheAudioFailsTheCallAndEndsTheDialog) {
  bool passed = false;
  const Result result =
      Call(std::string(kInvite) + kTrying + SippCallee::Answer(kRejectedAudioSdp) +
               "<recv request=\"ACK\"/>\n<recv request=\"BYE\"/>\n" + SippCallee::Reply("200 OK"),
           &passed);
  EXPECT_EQ(result.status, "Failed") << result.protocol;
  EXPECT_EQ(result.answer, "Failed");
  EXPECT_THAT(result.error, HasSubstr("No usable audio"));
  EXPECT_THAT(result.protocol, Not(HasSubstr("Played")));
  EXPECT_EQ(result.sip_code, "200");
}

// A 200 OK of some 54 KB (a UDP datagram holds up to 64 KB) is read whole:
// the call is answered, the message played, and the dialog ended with BYE.
TEST_F(SipPeerTest, AnAnswerWithHugeHeadersIsAnsweredAndEnded) {
  bool passed = false;
  const Result result = Call(
      std::string(kInvite) + kTrying + SippCallee::Answer(SippCallee::kAudioSdp, HugeHeaders()) +
          "<recv request=\"ACK\"/>\n<recv request=\"BYE\"/>\n" + SippCallee::Reply("200 OK"),
      &passed);
  EXPECT_EQ(result.status, "Completed") << result.protocol << result.error;
  EXPECT_THAT(result.protocol, HasSubstr("Played: short.wav"));
}

// A callee that answers and hangs up at once, its BYE on the heels of the
// 200 OK and before the line's ACK (over TCP, in one write): the call was
// answered and the callee hung up, which the result says.
TEST_F(SipPeerTest, ACalleeHangingUpBeforeTheAckHungUp) {
  const std::string sdp =
      "v=0\r\no=callee 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
      "m=audio 9 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
  std::string answer_and_bye =
      "<send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n"
      "[last_To:];tag=[pid]callee[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
      "Contact: <sip:callee@[local_ip]:[local_port];transport=tcp>\n"
      "Content-Type: application/sdp\nContent-Length: " +
      std::to_string(sdp.size()) + "\n\n" + sdp +
      "BYE [$contact];transport=tcp SIP/2.0\n"
      "Via: SIP/2.0/TCP [local_ip]:[local_port];branch=[branch]\n"
      "From: [$callee];tag=[pid]callee[call_number]\nTo: [$caller]\n[last_Call-ID:]\n"
      // SIPp cuts the blank line that ends a message it sends: a one-byte
      // body keeps the BYE whole.
      "CSeq: 2 BYE\nMax-Forwards: 70\nContent-Length: 1\n\n.]]></send>\n";
  // SIPp writes every line end as CRLF.
  for (std::size_t at; (at = answer_and_bye.find("\r\n")) != std::string::npos;) {
    answer_and_bye.replace(at, 2, "\n");
  }
  bool passed = false;
  const Result result =
      Call(std::string(kRememberInvite) + answer_and_bye + "<recv request=\"ACK\"/>\n", &passed,
           /*tcp=*/true);
  EXPECT_EQ(result.status, "Completed") << result.error;
  EXPECT_EQ(result.answer, "Answered");
  EXPECT_THAT(result.protocol, HasSubstr("Callee hung up after 0.0 s"));
  EXPECT_EQ(result.error, "");
}

// A BYE the network refuses: the call was made and its message played, and
// the result records the refusal.
TEST_F(SipPeerTest, ARefusedByeIsRecorded) {
  bool passed = false;
  const Result result = Call(
      std::string(kInvite) + kTrying + SippCallee::Answer(SippCallee::kAudioSdp) +
          "<recv request=\"ACK\"/>\n<recv request=\"BYE\"/>\n" + SippCallee::Reply("404 Not Found"),
      &passed);
  EXPECT_EQ(result.status, "Completed") << result.protocol;
  EXPECT_THAT(result.protocol, HasSubstr("Played: short.wav"));
  EXPECT_THAT(result.protocol, HasSubstr("BYE refused: 404 Not Found"));
  EXPECT_EQ(result.sip_code, "404");
  EXPECT_EQ(result.sip_reason, "Not Found");
}

// A UDP socket on 127.0.0.1 that takes the line's RTP: the audio of each
// packet, in the order they came.
class RtpSink {
 public:
  RtpSink() : socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int buffer = 1 << 20;
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RtpSink() { ::close(socket_); }
  int port() const { return port_; }

  // The loudest sample of each PCMU packet that has come (the 12-byte RTP
  // header skipped).
  std::vector<int> PacketPeaks() const {
    std::vector<int> peaks;
    std::uint8_t packet[2048];
    std::vector<std::int16_t> samples;
    for (ssize_t got; (got = ::recv(socket_, packet, sizeof packet, MSG_DONTWAIT)) > 12;) {
      DecodeG711(Codec::kPcmu, {packet + 12, static_cast<std::size_t>(got - 12)}, &samples);
      int peak = 0;
      for (std::int16_t sample : samples) peak = std::max(peak, std::abs(int(sample)));
      peaks.push_back(peak);
    }
    return peaks;
  }

 private:
  int socket_;
  int port_ = 0;
};

// A host with hundreds of lines holds more than 1024 descriptors (each call
// two sockets): a call whose sockets lie beyond them is placed all the same.
TEST_F(SipPeerTest, ACallIsPlacedWhenTheProcessHoldsMoreThan1024Files) {
  ASSERT_GE(RaiseOpenFileLimit(2048), 2048) << "the hard limit on open files is below 2048";
  std::vector<int> held;
  while (held.size() < 1100) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    held.push_back(fd);
  }
  bool passed = false;
  const Result result =
      Call(std::string(kInvite) + kTrying + SippCallee::Answer(SippCallee::kAudioSdp) +
               "<recv request=\"ACK\"/>\n<recv request=\"BYE\"/>\n" + SippCallee::Reply("200 OK"),
           &passed);
  for (const int fd : held) ::close(fd);
  EXPECT_EQ(result.status, "Completed") << result.protocol << result.error;
}

// The line's BYE comes no sooner than 400 ms after the last sound of the
// message, which the callee's jitter buffer still holds: silence is sent
// until then. Silence that ends the message itself counts and is not added
// to, so a spoken message (which ends in silence) ends the call sooner.
TEST_F(SipPeerTest, TheByeComes400MsAfterTheLastSoundOfTheMessage) {
  const char request[] =
      R"(<Request ID="{R1}" Type="Call"><NumberOfRings dt:dt="int">4</NumberOfRings>)"
      R"(<MaxGreetingDuration dt:dt="int">0</MaxGreetingDuration><CallTree>)"
      R"(<Message Replays="0" Timeout="0"><MessagePart Type="File">said.wav</MessagePart>)"
      R"(</Message></CallTree></Request>)";
  struct Case {
    const char* message;
    Samples audio;
    std::size_t least, most;  // silent packets after the last sound
  };
  const Case cases[] = {
      {"loud to its end", Noise(0.6, 7), 20, 35},
      {"ending in 1 s of silence", Join({Noise(0.6, 7), Silence(1.0)}), 50, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    WriteWav(wav_dir_ + "said.wav", c.audio);
    RtpSink sink;
    const std::string sdp = std::string("v=0\no=callee 1 1 IN IP4 127.0.0.1\ns=-\n") +
                            "c=IN IP4 127.0.0.1\nt=0 0\nm=audio " + std::to_string(sink.port()) +
                            " RTP/AVP 0\na=rtpmap:0 PCMU/8000\n";
    bool passed = false;
    const Result result =
        Call(std::string(kInvite) + kTrying + SippCallee::Answer(sdp) +
                 "<recv request=\"ACK\"/>\n<recv request=\"BYE\"/>\n" + SippCallee::Reply("200 OK"),
             &passed, false, request);
    EXPECT_EQ(result.status, "Completed") << result.protocol << result.error;
    const std::vector<int> peaks = sink.PacketPeaks();
    const auto last_sound =
        std::find_if(peaks.rbegin(), peaks.rend(), [](int peak) { return peak > 1000; });
    ASSERT_NE(last_sound, peaks.rend()) << "no message audio came";
    const auto silent_after = static_cast<std::size_t>(last_sound - peaks.rbegin());
    EXPECT_GE(silent_after, c.least);
    EXPECT_LE(silent_after, c.most);
  }
}

}  // namespace
}  // namespace ringwell::host::sip
