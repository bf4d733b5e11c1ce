#include "call_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ringwell::host
