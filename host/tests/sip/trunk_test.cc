// A trunk's limits against SIPp on 127.0.0.1: six lines call at once on an
// account that allows fewer calls at once, or fewer set-ups a second. SIPp
// notes when each INVITE and each BYE reached it; from those, the calls in
// progress never exceed the limit, the INVITEs never come faster than the
// rate, and every call is placed (later, not failed). A line stopped while it
// waits for the trunk fails its call at once without dialling.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <thread>

#include "answering_callee.h"
#include "baresip_callee.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/wait.h"
#include "sip_modem.h"
#include "sipp_callee.h"

namespace ringwell::host::sip {
namespace {

using namespace testing;
using ::testing::HasSubstr;

std::string Request(const char* file) {
  return std::string(
             R"(<Request ID="{R1}" Type="Call"><NumberOfRings dt:dt="int">4</NumberOfRings>)"
             R"(<MaxGreetingDuration dt:dt="int">0</MaxGreetingDuration><CallTree>)"
             R"(<Message Replays="0" Timeout="0"><MessagePart Type="File">)") +
         file + "</MessagePart></Message></CallTree></Request>";
}

struct Event {
  double at;    // seconds since the epoch
  bool invite;  // else a BYE
};

std::vector<Event> Events(const std::string& log) {
  std::vector<Event> events;
  std::istringstream lines(log);
  std::string kind;
  std::string date;
  std::string time;
  double at = 0;
  std::string call;
  // "INVITE 2026-12-07	22:49:27.833118	1796683767.833118 1"
  while (lines >> kind >> date >> time >> at >> call) events.push_back({at, kind == "INVITE"});
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.at < b.at || (a.at == b.at && !a.invite && b.invite);  // a BYE first
  });
  return events;
}

int MostAtOnce(const std::vector<Event>& events) {
  int now = 0;
  int most = 0;
  for (const Event& e : events) {
    now += e.invite ? 1 : -1;
    most = std::max(most, now);
  }
  return most;
}

std::vector<double> Invites(const std::vector<Event>& events) {
  std::vector<double> invites;
  for (const Event& e : events) {
    if (e.invite) invites.push_back(e.at);
  }
  return invites;
}

struct Outcome {
  std::string status, error, protocol;
};

Outcome Parse(const std::string& text) {
  xml::Document document;
  EXPECT_EQ(document.LoadXml(text), S_OK) << text;
  const pugi::xml_node call = document.FirstChild();
  return {call.attribute("Status").value(), call.attribute("Error").value(),
          xml::Text(xml::ChildElement(call, "Protocol"))};
}

class TrunkTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    wav_dir_ = scratch() + "wavs/";
    std::filesystem::create_directories(wav_dir_);
    WriteWav(wav_dir_ + "short.wav", Noise(0.4, 7));
    WriteWav(wav_dir_ + "long.wav", Noise(3, 7));
  }

  std::unique_ptr<SipStack> StartStack(const SippCallee& callee, TrunkLimits limits) {
    SipAccount account;
    account.uri_template = callee.UriTemplate();
    account.local_address = "127.0.0.1";
    account.ring_period = 0.5;
    account.max_calls = limits.max_calls;
    account.max_call_rate = limits.max_call_rate;
    std::string error;
    EXPECT_TRUE(PrepareAccount(account, &error)) << error;
    auto stack = SipStack::Start(account, &error);
    EXPECT_NE(stack, nullptr) << error;
    return stack;
  }

  std::string wav_dir_;
};

TEST_F(TrunkTest, CallsWaitForTheTrunkAndStayWithinItsLimits) {
  constexpr int kLines = 6;
  const struct {
    const char* name;
    TrunkLimits limits;
  } cases[] = {
      {"calls at once", {2, 0}},
      {"set-ups a second", {0, 2}},
      {"both", {2, 2.5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SippCallee callee(scratch() + "callee-" + std::to_string(&c - cases), kAnsweringCallee, false,
                      kLines);
    ASSERT_TRUE(callee.ready());
    auto stack = StartStack(callee, c.limits);
    ASSERT_NE(stack, nullptr);
    std::vector<Outcome> outcomes(kLines);
    {
      std::vector<std::jthread> lines;
      for (int i = 0; i < kLines; ++i) {
        lines.emplace_back([&, i] {
          auto modem = MakeComObject<SipModem>(i + 1, *stack);
          std::string result;
          const std::string request = Request("short.wav");
          if (modem->MakeCall("5550100", request.c_str(), wav_dir_.c_str(), &result) == S_OK) {
            outcomes[i] = Parse(result);
          }
        });
      }
    }
    EXPECT_TRUE(callee.Passed(std::chrono::seconds(30))) << callee.Errors();
    int waited = 0;
    for (const Outcome& outcome : outcomes) {
      EXPECT_EQ(outcome.status, "Completed") << outcome.error << "\n" << outcome.protocol;
      EXPECT_THAT(outcome.protocol, HasSubstr("Played: short.wav"));
      if (outcome.protocol.find("for the trunk (") != std::string::npos) ++waited;
    }
    EXPECT_GT(waited, 0) << "no line had to wait";

    const std::vector<Event> events = Events(callee.Log());
    const std::vector<double> invites = Invites(events);
    ASSERT_EQ(invites.size(), std::size_t{kLines}) << callee.Log();
    if (c.limits.max_calls > 0) {
      EXPECT_EQ(MostAtOnce(events), c.limits.max_calls) << callee.Log();
    } else {
      EXPECT_GT(MostAtOnce(events), 1) << callee.Log();
    }
    if (c.limits.max_call_rate > 0) {
      // Set-ups spaced by the rate. SIPp notes an INVITE when it gets round
      // to it: on a busy machine that may shorten a gap by a scheduling
      // delay, never by a whole set-up.
      const double interval = 1 / c.limits.max_call_rate;
      const double jitter = 0.2;
      for (std::size_t i = 1; i < invites.size(); ++i) {
        EXPECT_GE(invites[i] - invites[i - 1], interval - jitter) << callee.Log();
      }
      EXPECT_GE(invites.back() - invites.front(), (kLines - 1) * interval - jitter);
    }
  }
}

TEST_F(TrunkTest, ALineStoppedWhileItWaitsForTheTrunkDoesNotDial) {
  SippCallee callee(scratch() + "callee", kAnsweringCallee, false, 1);
  ASSERT_TRUE(callee.ready());
  auto stack = StartStack(callee, {1, 0});
  ASSERT_NE(stack, nullptr);
  auto first = MakeComObject<SipModem>(1, *stack);
  auto second = MakeComObject<SipModem>(2, *stack);
  Outcome first_outcome;
  std::jthread first_line([&] {
    std::string result;
    const std::string request = Request("long.wav");
    ASSERT_EQ(first->MakeCall("5550100", request.c_str(), wav_dir_.c_str(), &result), S_OK);
    first_outcome = Parse(result);
  });
  // The first call holds the trunk's only slot once SIPp has its INVITE.
  ringwell::testing::WaitUntil([&] { return callee.Log().find("INVITE") != std::string::npos; });
  ASSERT_THAT(callee.Log(), HasSubstr("INVITE"));
  std::jthread stopper([&] { second->Stop(); });
  std::string result;
  const std::string request = Request("short.wav");
  ASSERT_EQ(second->MakeCall("5550101", request.c_str(), wav_dir_.c_str(), &result), S_OK);
  const Outcome stopped = Parse(result);
  EXPECT_EQ(stopped.status, "Failed");
  EXPECT_EQ(stopped.error, "The host is stopping");
  first_line.join();
  EXPECT_EQ(first_outcome.status, "Completed") << first_outcome.protocol;
  EXPECT_TRUE(callee.Passed(std::chrono::seconds(30))) << callee.Errors();
  EXPECT_EQ(Invites(Events(callee.Log())).size(), 1u) << callee.Log();
}

}  // namespace
}  // namespace ringwell::host::sip
