// The RTP sender of an answered call asks for real-time scheduling: where the
// process may have it (root, CAP_SYS_NICE, or LimitRTPRIO as the service
// unit grants), a thread of the process runs under SCHED_FIFO while the call
// plays. Where it may not, calls go on as before and the host says so once:
// one warning event however many calls. That case runs in a child process of
// this test, started without the privilege (RLIMIT_RTPRIO 0, and for root
// without CAP_SYS_NICE).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "answering_callee.h"
#include "baresip_callee.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"
#include "sip_modem.h"
#include "sipp_callee.h"

namespace ringwell::host::sip {
namespace {

using namespace testing;
using ::testing::HasSubstr;

constexpr char kUnprivileged[] = "RINGWELL_SIP_TEST_UNPRIVILEGED";

// Whether any thread of this process runs under SCHED_FIFO now.
bool AnyThreadRealtime() {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string stat = ringwell::testing::ReadFile(task.path().string() + "/stat");
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) continue;
    std::istringstream fields(stat.substr(name_end + 2));
    std::string field;
    // The policy is the 41st field; the first after the name is the 3rd.
    for (int i = 3; i <= 41 && fields >> field; ++i) {
    }
    if (field == std::to_string(SCHED_FIFO)) return true;
  }
  return false;
}

// Whether a thread of this process may ask for SCHED_FIFO at 10.
bool MayRunRealtime() {
  bool may = false;
  std::thread([&] {
    const sched_param priority{.sched_priority = 10};
    may = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
  }).join();
  return may;
}

class SenderPriorityTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    wav_dir_ = scratch() + "wavs/";
    std::filesystem::create_directories(wav_dir_);
    WriteWav(wav_dir_ + "message.wav", Noise(1.5, 3));
  }

  // Calls the callee `calls` times one after the other; whether a thread ran
  // under SCHED_FIFO during any of them.
  bool CallAndWatch(int calls) {
    SippCallee callee(scratch() + "callee", kAnsweringCallee, false, calls);
    EXPECT_TRUE(callee.ready());
    SipAccount account;
    account.uri_template = callee.UriTemplate();
    account.local_address = "127.0.0.1";
    std::string error;
    EXPECT_TRUE(PrepareAccount(account, &error)) << error;
    auto stack = SipStack::Start(account, &error);
    EXPECT_NE(stack, nullptr) << error;
    if (!stack) return false;
    const std::string request =
        R"(<Request ID="{R1}" Type="Call"><NumberOfRings dt:dt="int">4</NumberOfRings>)"
        R"(<MaxGreetingDuration dt:dt="int">0</MaxGreetingDuration><CallTree>)"
        R"(<Message Replays="0" Timeout="0"><MessagePart Type="File">message.wav</MessagePart>)"
        R"(</Message></CallTree></Request>)";
    bool realtime = false;
    for (int i = 0; i < calls; ++i) {
      std::atomic<bool> done{false};
      std::string result;
      std::jthread line([&] {
        auto modem = MakeComObject<SipModem>(1, *stack);
        EXPECT_EQ(modem->MakeCall("5550100", request.c_str(), wav_dir_.c_str(), &result), S_OK);
        done = true;
      });
      while (!done) {
        realtime = realtime || AnyThreadRealtime();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      line.join();
      EXPECT_THAT(result, HasSubstr("Status=\"Completed\"")) << result;
      EXPECT_THAT(result, HasSubstr("Played: message.wav"));
    }
    EXPECT_TRUE(callee.Passed(std::chrono::seconds(30))) << callee.Errors();
    return realtime;
  }

  int PriorityEvents() {
    const auto events = EventLogEntries();
    return static_cast<int>(std::count_if(events.begin(), events.end(), [](const auto& e) {
      return e.source == "Ringwell Host" && e.event_id == 1303 && e.type == "warning" &&
             e.text.find("RTP packets go out without real-time priority") != std::string::npos &&
             e.text.find("LimitRTPRIO=10") != std::string::npos;
    }));
  }

  std::string wav_dir_;
};

TEST_F(SenderPriorityTest, TheSenderRunsInRealTimeWhereTheProcessMay) {
  if (std::getenv(kUnprivileged) != nullptr) GTEST_SKIP() << "the unprivileged child";
  if (!MayRunRealtime()) GTEST_SKIP() << "this process may not use SCHED_FIFO";
  EXPECT_TRUE(CallAndWatch(1));
  EXPECT_EQ(PriorityEvents(), 0);
}

TEST_F(SenderPriorityTest, WithoutThePrivilegeCallsGoOnAndTheHostSaysSoOnce) {
  if (std::getenv(kUnprivileged) == nullptr) {
    // This test again, in a child without the privilege.
    std::vector<std::string> argv = {"/usr/bin/prlimit", "--rtprio=0:0", "--"};
    if (::geteuid() == 0) {
      argv.insert(argv.end(),
                  {"/usr/bin/setpriv", "--bounding-set=-sys_nice", "--inh-caps=-sys_nice", "--"});
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    argv.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
    argv.push_back(std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name());
    const auto child = ringwell::testing::RunCapturing(argv, {{kUnprivileged, "1"}});
    EXPECT_EQ(child.exit_code, 0) << child.out << child.err;
    EXPECT_THAT(child.out, HasSubstr("[  PASSED  ] 1 test")) << child.out;
    return;
  }
  ASSERT_FALSE(MayRunRealtime()) << "the child still may use SCHED_FIFO";
  EXPECT_FALSE(CallAndWatch(2));
  EXPECT_EQ(PriorityEvents(), 1);
}

}  // namespace
}  // namespace ringwell::host::sip
