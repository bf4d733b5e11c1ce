#include "request_description.h"

#include <gtest/gtest.h>

#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"
#include "toolkit.h"

namespace ringwell::kel::cli {
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
    auto request = BuildRequest(nlohmann::json::parse(json_text), service_.Get(), 46000.0);
    std::string id;
    EXPECT_EQ(service_->SubmitRequest(request.Get(), &id), S_OK);
    xml::Document document;
    EXPECT_EQ(document.Load(root() + "Inbox/" + id + ".xml"), S_OK);
    return document;
  }
  ComPtr<IKelService> service_;
};

TEST_F(RequestDescriptionTest, DescriptionBecomesTheRequestFile) {
  ringwell::testing::WriteFile(scratch() + "chime.wav", "RIFF");
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

TEST_F(RequestDescriptionTest, MistakesAreNamed) {
  auto failure_of = [&](const std::string& json_text) -> std::string {
    try {
      BuildRequest(nlohmann::json::parse(json_text), service_.Get(), 46000.0);
    } catch (const Failure& failure) {
      return failure.what();
    }
    return "<built>";
  };
  EXPECT_EQ(failure_of(R"({"type": "fax"})"),
            "request description: type must be \"call\" or \"page\"");
  EXPECT_EQ(failure_of(R"({"window": {"stop": "later"}})"),
            "request description: stop time \"later\" is not understood");
  EXPECT_EQ(failure_of(R"({"rings": 0})"),
            "Invalid property  value for property: NumberOfRings = 0.");
  EXPECT_EQ(failure_of(R"({"message": [{"play": "a:b.wav"}]})"),
            "part a:b.wav: A filename cannot contain any of the following characters: "
            ":\\/?*|<>\".");
}

}  // namespace
}  // namespace ringwell::kel::cli
