#include "call_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "ringwell/common/xml.h"
#include "sim/simulated_walk.h"

namespace ringwell::host {
namespace {

// A menu: key 1 leads to "one" and a nested menu (key 2: "two"), key 9 to
// "nine"; a goodbye follows as a second node.
constexpr char kTree[] = R"(<CallTree>
  <Message Replays="1" Timeout="5"><MessagePart Type="File">menu.wav</MessagePart></Message>
  <Responses>
    <Response Button="1">
      <Message Replays="0" Timeout="3"><MessagePart Type="File">one.wav</MessagePart></Message>
      <Responses>
        <Response Button="2">
          <Message Replays="0" Timeout="2"><MessagePart Type="File">two.wav</MessagePart></Message>
        </Response>
      </Responses>
    </Response>
    <Response Button="9">
      <Message Replays="0" Timeout="2"><MessagePart Type="File">nine.wav</MessagePart></Message>
    </Response>
  </Responses>
  <Message Replays="0" Timeout="2"><MessagePart Type="Text">Good bye</MessagePart></Message>
  <Responses/>
</CallTree>)";

// A callee's behaviour and the walk it gives: every file part plays 2 s, a
// key comes 1 s into its wait unless `key_delay` says otherwise, the two words
// of the goodbye take 0.8 s.
struct Case {
  const char* name;
  Behaviour behaviour;
  std::vector<std::string> heard;
  double seconds;
  std::string protocol;  // a line the protocol holds
};

Behaviour Callee(std::vector<std::string> keys, double key_delay = 1, double greeting = 2,
                 std::optional<double> duration = std::nullopt) {
  return {
      .keys = std::move(keys), .greeting = greeting, .key_delay = key_delay, .duration = duration};
}

// clang-format off
const Case kCases[] = {
    {"KeysLeadThroughNestedResponses", Callee({"1", "2"}),
     {"menu.wav", "one.wav", "two.wav", "Good bye"}, 2 + 6 + 2 + 0.8, "Key 2 pressed: response for button 2"},
    {"WithoutAKeyTheMessageIsReplayedAfterEachTimeout", Callee({}),
     {"menu.wav", "menu.wav", "Good bye"}, 2 + (2 + 5) * 2 + 0.8, "No response chosen"},
    {"AKeyWithoutAResponseIsNotFollowed", Callee({"7", "9"}),
     {"menu.wav", "menu.wav", "nine.wav", "Good bye"}, 2 + (2 + 1) * 2 + 2 + 0.8,
     "Key 7 pressed: no response for it"},
    {"AKeyAfterTheTimeoutIsNotHeard", Callee({"1"}, 6),
     {"menu.wav", "menu.wav", "Good bye"}, 2 + (2 + 5) * 2 + 0.8, "No key within 5 s"},
    {"TheGreetingIsWaitedForAtMostMaxGreetingDuration", Callee({"9"}, 1, 45),
     {"menu.wav", "nine.wav", "Good bye"}, 30 + 2 + 1 + 2 + 0.8,
     "Greeting still going after 30.0 s; message started"},
    {"TheCalleeMayHangUpEarly", Callee({}, 1, 2, 5),
     {"menu.wav"}, 5, "Callee hung up after 5.0 s"},
};
// clang-format on

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class CallTreeTest : public ::testing::TestWithParam<Case> {};

TEST_P(CallTreeTest, Walk) {
  const Case& c = GetParam();
  xml::Document tree;
  ASSERT_EQ(tree.LoadXml(kTree), S_OK);
  const CallWalk walk =
      WalkCallTree(tree.FirstChild(), c.behaviour, 30, [](const MessagePart& part, std::string*) {
        return part.type == "File" ? 2.0 : EstimatedSpeechSeconds(part.content);
      });
  std::vector<std::string> heard;
  for (const MessagePart& part : walk.heard) heard.push_back(part.content);
  EXPECT_EQ(heard, c.heard);
  EXPECT_NEAR(walk.seconds, c.seconds, 1e-9);
  EXPECT_THAT(walk.protocol, ::testing::Contains(c.protocol));
  EXPECT_EQ(walk.callee_hung_up, c.behaviour.duration.has_value());
}

INSTANTIATE_TEST_SUITE_P(, CallTreeTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A leg leaving a message on a machine: each wait for the greeting gives
// the next of `ends`; each Play is stopped at the second `interruptions`
// gives next (none when they are used up); the callee hangs up during the
// Play numbered `hang_up_in` (0: never).
class MachineLeg : public CallLeg {
 public:
  MachineLeg(std::vector<GreetingEnd> ends, std::vector<double> interruptions, int hang_up_in = 0)
      : ends_(std::move(ends)), interruptions_(std::move(interruptions)), hang_up_in_(hang_up_in) {}
  GreetingEnd AwaitGreetingEnd(double) override {
    GreetingEnd end = ends_.at(waits_++);
    end.leaving_message = true;
    end.answered_by = WhoAnswered{AnsweredBy::kMachine, 2, "4 words", "greeting"};
    return end;
  }
  double Play(const std::vector<MessagePart>&, std::vector<std::string>*) override {
    ++plays_;
    if (plays_ == hang_up_in_) ended_ = "Callee hung up";
    interrupted_.reset();
    if (std::size_t(plays_) <= interruptions_.size()) interrupted_ = interruptions_[plays_ - 1];
    return 2;
  }
  std::optional<std::string> AwaitKey(double) override { return std::nullopt; }
  std::optional<std::string> Ended() const override { return ended_; }
  double Seconds() const override { return 5; }
  std::optional<double> TakeInterruption() override {
    std::optional<double> taken;
    taken.swap(interrupted_);
    return taken;
  }
  int plays_ = 0;

 private:
  std::vector<GreetingEnd> ends_;
  std::vector<double> interruptions_;
  int hang_up_in_;
  std::size_t waits_ = 0;
  std::optional<double> interrupted_;
  std::optional<std::string> ended_;
};

GreetingEnd Ended(const char* after) {
  GreetingEnd end;
  end.after = after;
  return end;
}

GreetingEnd StillGoing() {
  GreetingEnd end;
  end.over = false;
  return end;
}

CallWalk WalkMessage(CallLeg& leg) {
  xml::Document tree;
  EXPECT_EQ(tree.LoadXml(R"(<CallTree><Message Replays="0" Timeout="2"><MessagePart )"
                         R"(Type="File">message.wav</MessagePart></Message></CallTree>)"),
            S_OK);
  return WalkCallTree(tree.FirstChild(), leg, 30);
}

// Stopped twice because the machine spoke again, the message starts again
// each time after the greeting's next end, and is left whole at last.
TEST(MessageOnAMachineTest, AStoppedMessageStartsAgainAfterTheGreetingEndsAgain) {
  MachineLeg leg({Ended("after 1.2 s of silence"), Ended("after 1.2 s of silence"),
                  Ended("after beep at 9.3 s")},
                 {1.4, 4.2});
  const CallWalk walk = WalkMessage(leg);
  EXPECT_EQ(leg.plays_, 3);
  EXPECT_FALSE(walk.left_incomplete);
  const std::vector<std::string> expected = {"Message started after 1.2 s of silence",
                                             "Played: message.wav (2.0 s)",
                                             "Message stopped: speech resumed at 1.4 s",
                                             "Message started again after 1.2 s of silence",
                                             "Played: message.wav (2.0 s)",
                                             "Message stopped: speech resumed at 4.2 s",
                                             "Message started again after beep at 9.3 s",
                                             "Played: message.wav (2.0 s)",
                                             "Call tree finished; line hung up"};
  // In this order, each line after the one before.
  auto line = walk.protocol.begin();
  for (const std::string& wanted : expected) {
    line = std::find(line, walk.protocol.end(), wanted);
    ASSERT_NE(line, walk.protocol.end()) << wanted << " in order in\n"
                                         << ::testing::PrintToString(walk.protocol);
    ++line;
  }
}

// Not left whole: the greeting still going at the limit after a stop, or
// the machine hanging up while the message plays.
TEST(MessageOnAMachineTest, AMessageNotLeftWholeIsIncomplete) {
  MachineLeg still_going({Ended("after 1.2 s of silence"), StillGoing()}, {1.4});
  CallWalk walk = WalkMessage(still_going);
  EXPECT_EQ(walk.left_incomplete, "greeting still going after 30.0 s");
  EXPECT_THAT(walk.protocol,
              ::testing::Contains("Greeting still going after 30.0 s; message started again"));

  MachineLeg hanging_up({Ended("after beep at 9.3 s")}, {}, 1);
  walk = WalkMessage(hanging_up);
  EXPECT_EQ(walk.left_incomplete, "callee hung up before the message had played whole");

  MachineLeg whole({Ended("after beep at 9.3 s")}, {});
  walk = WalkMessage(whole);
  EXPECT_FALSE(walk.left_incomplete);
}

}  // namespace
}  // namespace ringwell::host
