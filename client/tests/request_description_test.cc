#include "request_description.h"

#include <gtest/gtest.h>

#include "request_checks.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"
#include "test_wav.h"
#include "toolkit.h"

namespace ringwell::kel::client {
namespace {

using ringwell::testing::LibraryPath;
using ringwell::testing::ProgramPath;

TEST(ParseWhenTest, RelativeAndAbsoluteTimes) {
  const OleDate now = 46000.5;
  EXPECT_DOUBLE_EQ(*ParseWhen("now", now), now);
  EXPECT_DOUBLE_EQ(*ParseWhen("+90s", now), now + 90.0 / 86400);
  EXPECT_DOUBLE_EQ(*ParseWhen("+10m", now), now + 10.0 / 1440);
  EXPECT_DOUBLE_EQ(*ParseWhen("+2h", now), now + 2.0 / 24);
  EXPECT_DOUBLE_EQ(*ParseWhen("+1d", now), now + 1);
  EXPECT_DOUBLE_EQ(*ParseWhen("1980-01-01T00:00:00", now), 29221.0);
  EXPECT_FALSE(ParseWhen("+5x", now));
  EXPECT_FALSE(ParseWhen("+10", now));
  EXPECT_FALSE(ParseWhen("+-5m", now));
  EXPECT_FALSE(ParseWhen("tomorrow", now));
}

class RequestDescriptionTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    ASSERT_EQ(ringwell::testing::RunProgram({ProgramPath("ringwell-regsvr"), LibraryPath("kel")}),
              0);
    service_ = OpenService(root());
  }
  // Submits the description and returns the request file the toolkit wrote.
  xml::Document SubmitAndLoad(const std::string& json_text) {
    auto built = BuildRequest(nlohmann::json::parse(json_text), {service_.Get(), 46000.0});
    for (const auto& file : built.files) {
      EXPECT_EQ(service_->SubmitFile(file.source.c_str(), file.replace), S_OK);
    }
    std::string id;
    EXPECT_EQ(service_->SubmitRequest(built.request.Get(), &id), S_OK);
    xml::Document document;
    EXPECT_EQ(document.Load(root() + "Inbox/" + id + ".xml"), S_OK);
    return document;
  }
  ComPtr<IKelService> service_;
};

TEST_F(RequestDescriptionTest, DescriptionBecomesTheRequestFile) {
  testing::WriteWav(scratch() + "chime.wav");
  xml::Document file = SubmitAndLoad(R"({
    "type": "page",
    "recipients": ["5551234", {"number": "7770001", "service": "alpha"}],
    "window": {"start": "+1h", "stop": "+2h"},
    "busy": {"attempts": 0, "delay": 5},
    "message": {"replays": 2, "parts": ["Hello", {"say": "Bye", "voice": "Female", "rate": 3},
                                        {"play": ")" +
                                     scratch() + R"(chime.wav"}]},
    "responses": [{"button": "1", "message": ["One"],
                   "responses": [{"button": "2", "message": ["Two"]}]}],
    "attributes": {"Origin": "test"},
    "additionalInfo": "<Ticket id=\"42\"/>"
  })");
  pugi::xml_node request = file.FirstChild();
  EXPECT_STREQ(request.attribute("Type").value(), "Page");
  EXPECT_STREQ(request.attribute("Origin").value(), "test");
  auto recipients = xml::ElementsByName(request, "Recipient");
  ASSERT_EQ(recipients.size(), 2u);
  EXPECT_STREQ(recipients[1].attribute("Service").value(), "alpha");
  EXPECT_DOUBLE_EQ(*xml::TypedDate(xml::ChildElement(request, "StartTime")), 46000.0 + 1.0 / 24);
  EXPECT_EQ(*xml::TypedInt(xml::ChildElement(request, "NumberOfAttemptsIfBusy")), 0);
  EXPECT_EQ(*xml::TypedInt(xml::ChildElement(request, "DelayIfBusy")), 5);
  auto parts = xml::ElementsByName(request, "MessagePart");
  ASSERT_EQ(parts.size(), 5u);
  EXPECT_STREQ(parts[1].attribute("Voice").value(), "Female");
  EXPECT_STREQ(parts[1].attribute("Rate").value(), "3");
  EXPECT_STREQ(parts[2].attribute("Type").value(), "File");
  EXPECT_EQ(xml::Text(parts[2]), "chime.wav");  // stored first, then named
  EXPECT_TRUE(std::filesystem::exists(root() + "Files/{0}/chime.wav"));
  EXPECT_EQ(xml::Text(parts[4]), "Two");  // the nested response's part
  EXPECT_EQ(xml::ElementsByName(request, "Response").size(), 2u);
  EXPECT_EQ(xml::Markup(xml::ChildElement(request, "AdditionalInfo").first_child()),
            "<Ticket id=\"42\"/>");
}

// "window": {"start": "+1d"} alone is a window of an hour from that start,
// not one that ended before it began.
TEST_F(RequestDescriptionTest, AWindowWithOnlyAStartLastsAnHourFromIt) {
  xml::Document file = SubmitAndLoad(
      R"({"recipients": ["5551234"], "message": ["Hi"], "window": {"start": "+1d"}})");
  pugi::xml_node request = file.FirstChild();
  EXPECT_DOUBLE_EQ(*xml::TypedDate(xml::ChildElement(request, "StartTime")), 46001.0);
  EXPECT_NEAR(*xml::TypedDate(xml::ChildElement(request, "StopTime")), 46001.0 + 1.0 / 24, 1e-6);
}

TEST_F(RequestDescriptionTest, MachineDetectionIsKeptInTheRequestsAttribute) {
  xml::Document file = SubmitAndLoad(R"({
    "recipients": ["5551234"], "message": ["Hi"],
    "machineDetection": {"machine": "hangup-and-retry", "greeting": 2.5, "beep": false,
                         "maximumNumberOfWords": 6}
  })");
  pugi::xml_node request = file.FirstChild();
  // The request file's form stays as it is: one more attribute of Request.
  EXPECT_STREQ(request.attribute("MachineDetection").value(),
               "beep=false,greeting=2.5,machine=hangup-and-retry,maximumNumberOfWords=6");
  xml::Document plain = SubmitAndLoad(R"({"recipients": ["5551234"], "message": ["Hi"]})");
  EXPECT_FALSE(plain.FirstChild().attribute("MachineDetection"));
}

TEST_F(RequestDescriptionTest, MistakesAreNamed) {
  auto failure_of = [&](const std::string& json_text) -> std::string {
    try {
      BuildRequest(nlohmann::json::parse(json_text), {service_.Get(), 46000.0});
    } catch (const Failure& failure) {
      return failure.what();
    }
    return "<built>";
  };
  // Every mistake names its field; the toolkit's own refusals keep their text.
  const std::string ok = R"("recipients": ["5551234"], "message": ["Hi"])";
  const struct {
    std::string json;
    std::string failure;
  } kCases[] = {
      {R"({"type": "fax", )" + ok + "}", "type: must be \"call\" or \"page\""},
      {R"({"window": {"stop": "later"}, )" + ok + "}",
       "window.stop: \"later\" is not a time (now, +30m, +1h, +1d, or ISO 8601 such as "
       "2026-12-07T18:00:00Z)"},
      {R"({"mesage": "Hi", )" + ok + "}", "mesage: unknown key"},
      {R"({"recipients": ["5551234"], "message": "just a string"})",
       "message: must be an object or a list of parts, not a text"},
      {R"({"rings": "7", )" + ok + "}", "rings: must be a whole number, not a text"},
      {R"({"busy": {"attempts": 1, "dealy": 5}, )" + ok + "}", "busy.dealy: unknown key"},
      {R"({"recipients": ["", " "], "message": ["Hi"]})",
       "recipients: no recipient (blank numbers are left out)"},
      {R"({"recipients": ["5551234", {"number": "not a number!"}], "message": ["Hi"]})",
       "recipients[1]: \"not a number!\" is not a dialable number (digits, +, *, #, blanks, -, "
       "., / and parentheses, or a sip: address)"},
      {R"({"recipients": ["5551234"]})",
       "message: no message part: give at least one \"say\" or \"play\""},
      {R"({"recipients": ["5551234"], "message": {"parts": [{"say": "a", "play": "b.wav"}]}})",
       "message.parts[0]: needs exactly one of \"say\" and \"play\""},
      {R"({"recipients": ["5551234"], "message": [{"say": "  "}]})",
       "message[0].say: the text is empty"},
      {R"({"recipients": ["5551234"], "message": ["Hi"], "responses": [{"button": 1}]})",
       "responses[0].button: must be a text, not a whole number"},
      {R"({"recipients": ["5551234"], "message": [{"play": "absent.wav"}]})",
       "message[0].play: no file \"absent.wav\" is stored, and there is no such file "
       "here"},
      {R"({"window": {"start": "+2h", "stop": "+1h"}, )" + ok + "}",
       "window: the end must come after the start"},
      {R"({"machineDetection": "play", )" + ok + "}",
       "machineDetection: must be an object such as {\"machine\": \"leave-message\"}, not a "
       "text"},
      {R"({"machineDetection": {"machine": "voicemail"}, )" + ok + "}",
       "machineDetection.machine: \"voicemail\" is not one of leave-message, hangup-and-retry, "
       "play"},
      {R"({"machineDetection": {"greeting": 90}, )" + ok + "}",
       "machineDetection.greeting: \"90\" is not a number of seconds from 0 to 60"},
      {R"({"machineDetection": {"greting": 2}, )" + ok + "}",
       "machineDetection.greting: \"greting\" is not a setting of machine detection"},
      {R"({"machineDetection": {"beep": "no"}, )" + ok + "}",
       "machineDetection.beep: \"no\" is neither true nor false"},
      {R"({"machineDetection": {"machine": "play,greeting=9"}, )" + ok + "}",
       "machineDetection.machine: \"play,greeting=9\" is not a value of this setting"},
      {R"({"machineDetection": {"greeting": [1]}, )" + ok + "}",
       "machineDetection.greeting: must be a text, a number or true/false, not a list"},
      {R"({"machineDetection": {}, "attributes": {"MachineDetection": "x"}, )" + ok + "}",
       "attributes.MachineDetection: is set by \"machineDetection\""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(failure_of(c.json), "request description: " + c.failure) << c.json;
  }
  EXPECT_EQ(failure_of(R"({"rings": 0, )" + ok + "}"),
            "rings: Invalid property  value for property: NumberOfRings = 0.");
}

// An attribute may not replace what the request file writes itself (the
// request's ID, user and type, a part's or recipient's type, the namespaces),
// and no text may hold a NUL (it would cut the text short): each is refused,
// naming the field, and nothing reaches the Inbox.
TEST_F(RequestDescriptionTest, AttributesCannotReplaceTheFileOwnAndTextsHoldNoNul) {
  auto failure_of = [&](const std::string& json_text) -> std::string {
    try {
      BuildRequest(nlohmann::json::parse(json_text), {service_.Get(), 46000.0});
    } catch (const Failure& failure) {
      return failure.field() + " | " + failure.what();
    }
    return "<built>";
  };
  const std::string reserved =
      "is written by the toolkit itself and cannot be given as an attribute";
  const std::string ok = R"("recipients": ["5551234"], "message": ["Hi"])";
  const struct {
    std::string json;
    std::string field;
    std::string what;
  } kCases[] = {
      {R"({"attributes": {"ID": "{00000000-0000-0000-0000-000000000000}"}, )" + ok + "}",
       "attributes.ID", reserved},
      {R"({"attributes": {"UserID": ".."}, )" + ok + "}", "attributes.UserID", reserved},
      {R"({"attributes": {"type": "Page"}, )" + ok + "}", "attributes.type", reserved},
      {R"({"attributes": {"xmlns": "urn:x"}, )" + ok + "}", "attributes.xmlns", reserved},
      {R"({"attributes": {"xmlns:dt": "urn:x"}, )" + ok + "}", "attributes.xmlns:dt", reserved},
      {R"({"recipients": [{"number": "5551234", "attributes": {"Type": "PagerNumber"}}],
           "message": ["Hi"]})",
       "recipients[0].attributes.Type", reserved},
      {R"({"recipients": ["5551234"], "message": [{"say": "Hi", "attributes": {"dt:dt": "int"}}]})",
       "message[0].attributes.dt:dt", reserved},
      {R"({"recipients": ["5551234"], "message": [{"say": "Hi", "attributes": {"Type": "File"}}]})",
       "message[0].attributes.Type", reserved},
      {R"({"recipients": ["5551234"], "message": {"parts": ["Hi"], "attributes": {"Replays": "9"}}})",
       "message.attributes.Replays", reserved},
      {R"({"responses": [{"button": "1", "attributes": {"Button": "2"}}], )" + ok + "}",
       "responses[0].attributes.Button", reserved},
      {R"({"recipients": ["5551234"], "message": ["a\u0000b"]})", "message[0]",
       "must not contain a NUL character (\\u0000)"},
      {R"({"recipients": ["555\u00001234"], "message": ["Hi"]})", "recipients[0]",
       "must not contain a NUL character (\\u0000)"},
      {R"({"additionalInfo": "<a/>\u0000<b/>", )" + ok + "}", "additionalInfo",
       "must not contain a NUL character (\\u0000)"},
      {R"({"attributes": {"Origin\u0000x": "y"}, )" + ok + "}", "attributes",
       "a key must not contain a NUL character (\\u0000)"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(failure_of(c.json), c.field + " | request description: " + c.field + ": " + c.what)
        << c.json;
  }
  EXPECT_TRUE(ringwell::testing::ListDir(root() + "Inbox/").empty());
  // Attributes of the client's own still pass, whatever their case.
  xml::Document file =
      SubmitAndLoad(R"({"attributes": {"Types": "x", "Owner": "ops"}, )" + ok + "}");
  EXPECT_STREQ(file.FirstChild().attribute("Type").value(), "Call");
  EXPECT_STREQ(file.FirstChild().attribute("Owner").value(), "ops");
}

TEST(IsDialableTest, NumbersAndAddresses) {
  EXPECT_TRUE(IsPageable("oncall@example.net"));
  EXPECT_TRUE(IsPageable("+49 30 123"));
  for (const char* address : {"@example.net", "oncall@", "a@b@c", "on call@example.net"}) {
    EXPECT_FALSE(IsPageable(address)) << address;
  }
  EXPECT_FALSE(IsDialable("oncall@example.net"));
  for (const char* number : {"5551234", "+49 (30) 123-456", "*31#", "555.1234", "sip:ops@127.0.0.1",
                             "sips:pager.example"}) {
    EXPECT_TRUE(IsDialable(number)) << number;
  }
  for (const char* number :
       {"", "+", "not a number!", "555-CALL", "sip:", "sip:@host", "tel:5551234", "555\n1234"}) {
    EXPECT_FALSE(IsDialable(number)) << number;
  }
}

}  // namespace
}  // namespace ringwell::kel::client
