// The SIP line behind a registrar and proxy with digest authentication:
// kamailio on 127.0.0.1, the callee a baresip beside it. The line registers,
// and its calls go through the proxy to the callee and back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "baresip_callee.h"
#include "kamailio_proxy.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "sip_modem.h"

namespace ringwell::host::sip {
namespace {

using namespace testing;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kPassword[] = "pr0xy-Pa55";

const char kRequest[] =
    R"(<Request ID="{R1}" Type="Call"><NumberOfRings dt:dt="int">6</NumberOfRings>)"
    R"(<MaxGreetingDuration dt:dt="int">5</MaxGreetingDuration><CallTree>)"
    R"(<Message Replays="0" Timeout="2"><MessagePart Type="File">message.wav</MessagePart></Message>)"
    R"(</CallTree></Request>)";

class SipProxyTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    wav_dir_ = scratch() + "wavs/";
    std::filesystem::create_directories(wav_dir_);
    WriteWav(wav_dir_ + "message.wav", Noise(1, 7));
  }

  // Calls the callee through `proxy` with `account` (user 2001); the call
  // result's Status and Protocol.
  std::pair<std::string, std::string> Call(SipAccount account, BaresipCallee& callee) {
    account.uri_template = callee.UriTemplate();
    account.local_address = "127.0.0.1";
    account.ring_period = 1;
    account.user = "2001";
    account.password_file = scratch() + "password";
    ringwell::testing::WriteFile(account.password_file, std::string(kPassword) + "\n");
    std::filesystem::permissions(account.password_file, std::filesystem::perms::owner_read);
    std::string error;
    EXPECT_TRUE(PrepareAccount(account, &error)) << error;
    auto stack = SipStack::Start(account, &error);
    EXPECT_NE(stack, nullptr) << error;
    if (stack == nullptr) return {};
    auto modem = MakeComObject<SipModem>(1, *stack);
    std::string xml;
    EXPECT_EQ(modem->MakeCall("5550100", kRequest, wav_dir_.c_str(), &xml), S_OK);
    xml::Document result;
    EXPECT_EQ(result.LoadXml(xml), S_OK) << xml;
    const pugi::xml_node call = result.FirstChild();
    return {call.attribute("Status").value(), xml::Text(xml::ChildElement(call, "Protocol")) +
                                                  "\n" + call.attribute("Error").value()};
  }

  std::string wav_dir_;
};

// An outbound proxy is given as operators write it, with ";lr": the Route of
// every request names it once, loose routing and all.
TEST_F(SipProxyTest, AProxyGivenWithLrIsRoutedThroughOnce) {
  KamailioProxy proxy(scratch() + "kamailio", kPassword);
  ASSERT_TRUE(proxy.ready()) << proxy.Log();
  BaresipCallee callee(scratch() + "callee", Join({Noise(0.5, 1), Silence(6)}));
  ASSERT_TRUE(callee.ready());
  SipAccount account;
  account.registrar = proxy.Uri();
  account.outbound_proxy = proxy.Uri() + ";lr";
  const auto [status, protocol] = Call(account, callee);
  EXPECT_EQ(status, "Completed") << protocol << "\n" << proxy.Log();
  EXPECT_THAT(protocol, HasSubstr("Played: message.wav"));
  EXPECT_THAT(proxy.Log(), HasSubstr("registered sip:2001@127.0.0.1\n"));
  EXPECT_THAT(proxy.Log(), Not(HasSubstr("refused")));
}

// Over TCP the address of record (From, To) is still the plain sip:USER@DOMAIN
// the registrar files the binding under; the transport is the connection's.
TEST_F(SipProxyTest, OverTcpTheAddressOfRecordCarriesNoTransport) {
  KamailioProxy proxy(scratch() + "kamailio", kPassword);
  ASSERT_TRUE(proxy.ready()) << proxy.Log();
  BaresipCallee callee(scratch() + "callee", Join({Noise(0.5, 1), Silence(6)}));
  ASSERT_TRUE(callee.ready());
  SipAccount account;
  account.transport = "tcp";
  account.registrar = proxy.Uri() + ";transport=tcp";
  account.outbound_proxy = proxy.Uri() + ";transport=tcp";
  account.domain = "ringwell.test";
  const auto [status, protocol] = Call(account, callee);
  EXPECT_EQ(status, "Completed") << protocol << "\n" << proxy.Log();
  EXPECT_THAT(proxy.Log(), HasSubstr("registered sip:2001@ringwell.test\n"));
  EXPECT_THAT(proxy.Log(), Not(HasSubstr("refused")));
}

}  // namespace
}  // namespace ringwell::host::sip
