// ringwell-host's SIP account as an administrator tries it: a SIP URI option
// that is no SIP URI is refused at start, naming the option, the value and a
// good one; --sip-test places one call and says what happened (answered,
// busy, refused, registration failed), with exit code 0 only when answered;
// the registration is told on the output ("registered at ...",
// "registration failed: 401 ...") and logged. The peers are SIPp callees and
// a kamailio registrar on 127.0.0.1.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "kamailio_proxy.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"
#include "sipp_callee.h"

namespace ringwell::host::sip {
namespace {

using namespace testing;
using ringwell::testing::ProgramPath;
using ringwell::testing::RunCapturing;
using ::testing::HasSubstr;

constexpr char kPassword[] = "t3st-Pa55";

const char kInvite[] = "<recv request=\"INVITE\"/>\n";
const char kTrying[] =
    "<send><![CDATA[\nSIP/2.0 100 Trying\n[last_Via:]\n[last_From:]\n[last_To:]\n"
    "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";

// A final refusal of the INVITE, acknowledged by the caller.
std::string Refusal(const std::string& status) {
  return "<send><![CDATA[\nSIP/2.0 " + status +
         "\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]callee\n[last_Call-ID:]\n"
         "[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n<recv request=\"ACK\"/>\n";
}

std::string Answering() {
  return std::string(kInvite) + kTrying + SippCallee::Answer(SippCallee::kAudioSdp) +
         "<recv request=\"ACK\"/>\n<recv request=\"BYE\"/>\n" + SippCallee::Reply("200 OK");
}

class SipHostTest : public ringwell::testing::RingwellTest {
 protected:
  ringwell::testing::ProgramResult Host(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), ProgramPath("ringwell-host"));
    return RunCapturing(arguments, ProgramEnvironment());
  }
  ringwell::testing::ProgramResult SipTest(const SippCallee& callee,
                                           std::vector<std::string> more = {}) {
    std::vector<std::string> arguments = {
        "--sip-test",          "5550100",   "--sip-uri",         callee.UriTemplate(),
        "--sip-local-address", "127.0.0.1", "--sip-ring-period", "1"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return Host(arguments);
  }
  std::string PasswordFile(const std::string& password) {
    const std::string path = scratch() + "password";
    ringwell::testing::WriteFile(path, password + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read);
    return path;
  }
};

TEST_F(SipHostTest, AMalformedSipUriIsRefusedAtStart) {
  const struct {
    std::vector<std::string> arguments;
    std::string said;
  } cases[] = {
      {{"--sip-lines", "1", "--no-pager", "--sip-registrar", "127.0.0.1:5099"},
       "--sip-registrar 127.0.0.1:5099 is not a SIP URI; give one such as sip:pbx.example.com"},
      {{"--sip-lines", "1", "--no-pager", "--sip-proxy", "proxy.example.com"},
       "--sip-proxy proxy.example.com is not a SIP URI"},
      {{"--sip-test", "5551234", "--sip-uri", "{number}@127.0.0.1"},
       "--sip-uri {number}@127.0.0.1 is not a SIP URI; give one such as "
       "sip:{number}@pbx.example.com"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    ClearEventLog();
    const auto result = Host(c.arguments);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_THAT(result.err, HasSubstr(c.said));
    EXPECT_THAT(result.out, Not(HasSubstr("ready")));
  }
  // A refused start is logged, for whoever looks at the service's journal.
  bool logged = false;
  ClearEventLog();
  Host(cases[0].arguments);
  for (const auto& entry : EventLogEntries()) {
    logged |=
        entry.source == "ringwell-host" && entry.text.find(cases[0].said) != std::string::npos;
  }
  EXPECT_TRUE(logged);
}

TEST_F(SipHostTest, ATestCallSaysWhatHappened) {
  {
    SippCallee callee(scratch() + "answers", Answering());
    ASSERT_TRUE(callee.ready()) << callee.Errors();
    const auto result = SipTest(callee);
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr("ringwell-host: test call to 5550100: answered"));
    EXPECT_TRUE(callee.Passed(std::chrono::seconds(40))) << callee.Errors();
  }
  const struct {
    std::string reply;
    std::string said;
  } refusals[] = {
      {"486 Busy Here", "test call to 5550100: busy (486 Busy Here)"},
      {"403 Forbidden", "test call to 5550100: refused: 403 Forbidden"},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.reply);
    SippCallee callee(scratch() + "refuses", std::string(kInvite) + kTrying + Refusal(r.reply));
    ASSERT_TRUE(callee.ready()) << callee.Errors();
    const auto result = SipTest(callee);
    EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(r.said));
    EXPECT_TRUE(callee.Passed(std::chrono::seconds(40))) << callee.Errors();
  }
}

TEST_F(SipHostTest, TheRegistrationIsToldAndLogged) {
  KamailioProxy registrar(scratch() + "kamailio", kPassword);
  ASSERT_TRUE(registrar.ready()) << registrar.Log();
  {
    SippCallee callee(scratch() + "answers", Answering());
    ASSERT_TRUE(callee.ready()) << callee.Errors();
    const auto result = SipTest(callee, {"--sip-registrar", registrar.Uri(), "--sip-user", "2001",
                                         "--sip-password-file", PasswordFile(kPassword)});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_THAT(result.out,
                HasSubstr("ringwell-host: registered at " + registrar.Uri() + " as sip:2001@"));
    EXPECT_THAT(result.out, HasSubstr("test call to 5550100: answered"));
  }
  ClearEventLog();
  SippCallee callee(scratch() + "unused", Answering());
  const auto result = SipTest(callee, {"--sip-registrar", registrar.Uri(), "--sip-user", "2001",
                                       "--sip-password-file", PasswordFile("wrong")});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_THAT(result.err, HasSubstr("ringwell-host: registration failed: 401 Unauthorized"));
  EXPECT_THAT(result.out, HasSubstr("test call to 5550100: registration failed"));
  bool logged = false;
  for (const auto& entry : EventLogEntries()) {
    logged |=
        entry.text.find("Registration at " + registrar.Uri() + " failed: 401") != std::string::npos;
  }
  EXPECT_TRUE(logged);
}

// A host whose lines need more open files than it may have raises its limit
// as far as the hard one allows and says what is still missing: how many
// calls at once will work, and where the limit is raised.
TEST_F(SipHostTest, ALimitOnOpenFilesTooLowForTheLinesIsTold) {
  for (const char* library : {"dialqueue", "tallier"}) {
    ASSERT_EQ(ringwell::testing::RunProgram(
                  {ProgramPath("ringwell-regsvr"), ringwell::testing::LibraryPath(library)}),
              0);
  }
  ClearEventLog();
  ringwell::testing::ChildProcess host;
  ASSERT_TRUE(host.Start({"/usr/bin/prlimit", "--nofile=300:400", "--",
                          ProgramPath("ringwell-host"), "--root", root(), "--no-pager",
                          "--sip-lines", "1-1000", "--sip-local-address", "127.0.0.1"}));
  ASSERT_TRUE(host.WaitForLine("ringwell-host: ready", std::chrono::seconds(30))) << host.output();
  host.Signal(SIGTERM);
  EXPECT_NE(host.Wait(std::chrono::seconds(20)), -1);
  bool told = false;
  for (const auto& entry : EventLogEntries()) {
    told |= entry.text.find(
                "1000 SIP lines need up to 4256 open files, but this process may "
                "open only 400: calls beyond about 72 at once fail") != std::string::npos &&
            entry.text.find("LimitNOFILE=") != std::string::npos;
  }
  EXPECT_TRUE(told);
}

// A registrar that never answers: libre gives up after its transaction
// timeout (32 s), and the host says so in a word.
TEST_F(SipHostTest, ARegistrarThatNeverAnswersIsATimeout) {
  const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string registrar = "sip:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  SippCallee callee(scratch() + "unused", Answering());
  const auto result = SipTest(callee, {"--sip-registrar", registrar, "--sip-user", "2001"});
  ::close(silent);
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_THAT(result.err, HasSubstr("ringwell-host: registration failed: timeout (no reply) "
                                    "(registrar " +
                                    registrar + ")"));
  EXPECT_THAT(result.out, HasSubstr("test call to 5550100: registration failed: timeout"));
}

}  // namespace
}  // namespace ringwell::host::sip
