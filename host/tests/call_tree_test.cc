#include "call_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ringwell/common/xml.h"

namespace ringwell::host {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

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

class CallTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(tree_.LoadXml(kTree), S_OK); }

  CallWalk Walk(Behaviour behaviour, double max_greeting = 30) {
    return WalkCallTree(tree_.FirstChild(), behaviour, max_greeting, [](const MessagePart& part) {
      return part.type == "File" ? 2.0 : EstimatedSpeechSeconds(part.content);
    });
  }
  static std::vector<std::string> Heard(const CallWalk& walk) {
    std::vector<std::string> heard;
    for (const MessagePart& part : walk.heard) heard.push_back(part.content);
    return heard;
  }

  xml::Document tree_;
};

TEST_F(CallTreeTest, KeysLeadThroughNestedResponses) {
  Behaviour behaviour;
  behaviour.keys = {"1", "2"};
  const CallWalk walk = Walk(behaviour);
  EXPECT_THAT(Heard(walk), ElementsAre("menu.wav", "one.wav", "two.wav", "Good bye"));
  EXPECT_THAT(walk.protocol, Contains("Key 1 pressed: response 1"));
  EXPECT_THAT(walk.protocol, Contains("Key 2 pressed: response 1"));
  // Greeting 2, three files of 2 s, two waits of 1 s for the keys, two words.
  EXPECT_NEAR(walk.seconds, 2 + 6 + 2 + 0.8, 1e-9);
  EXPECT_FALSE(walk.callee_hung_up);
}

TEST_F(CallTreeTest, WithoutAKeyTheMessageIsReplayedAfterEachTimeout) {
  const CallWalk walk = Walk(Behaviour{});
  EXPECT_THAT(Heard(walk), ElementsAre("menu.wav", "menu.wav", "Good bye"));
  EXPECT_NEAR(walk.seconds, 2 + (2 + 5) * 2 + 0.8, 1e-9);
  EXPECT_THAT(walk.protocol, Contains("No response chosen"));
}

TEST_F(CallTreeTest, KeysWithoutAResponseOrTooLateAreNotFollowed) {
  Behaviour wrong;
  wrong.keys = {"7", "9"};
  EXPECT_THAT(Heard(Walk(wrong)), ElementsAre("menu.wav", "menu.wav", "nine.wav", "Good bye"));

  Behaviour slow;
  slow.keys = {"1"};
  slow.key_delay = 6;  // the menu waits 5 s
  EXPECT_THAT(Heard(Walk(slow)), ElementsAre("menu.wav", "menu.wav", "Good bye"));
}

TEST_F(CallTreeTest, TheGreetingIsWaitedForAtMostMaxGreetingDuration) {
  Behaviour talkative;
  talkative.greeting = 45;
  talkative.keys = {"9"};
  const CallWalk walk = Walk(talkative, 30);
  EXPECT_NEAR(walk.seconds, 30 + 2 + 1 + 2 + 0.8, 1e-9);
  EXPECT_EQ(walk.protocol.front(), "Greeting still going after 30.0 s; message started");
}

TEST_F(CallTreeTest, TheCalleeMayHangUpEarly) {
  Behaviour impatient;
  impatient.duration = 5;
  const CallWalk walk = Walk(impatient);
  EXPECT_TRUE(walk.callee_hung_up);
  EXPECT_DOUBLE_EQ(walk.seconds, 5);
  EXPECT_THAT(Heard(walk), ElementsAre("menu.wav"));
  EXPECT_EQ(walk.protocol.back(), "Callee hung up after 5.0 s");
}

}  // namespace
}  // namespace ringwell::host
