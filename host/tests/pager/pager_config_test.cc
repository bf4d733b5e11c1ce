// Reading the pager configuration: what a file gives, and what is refused
// with which reason.
#include "pager/pager_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "ringwell/testing/fixture.h"

namespace ringwell::host::pager {
namespace {

using ::testing::HasSubstr;

class PagerConfigTest : public ringwell::testing::RingwellTest {
 protected:
  // Writes the secrets file with `mode` and the configuration; loads it.
  PagerConfig Load(const std::string& body, mode_t secrets_mode = 0600) {
    const std::string secrets = scratch() + "secrets.toml";
    ringwell::testing::WriteFile(secrets, "api_key = \"xyz-123\"\nsmtp = \"pw\"\n");
    ::chmod(secrets.c_str(), secrets_mode);
    ringwell::testing::WriteFile(scratch() + "pager.toml", "secrets = \"secrets.toml\"\n" + body);
    return LoadPagerConfig(scratch() + "pager.toml");
  }
};

constexpr char kSms[] =
    "[services.sms]\nchannel = \"http\"\nurl = \"https://gw.example/send?key={secret:api_key}\"\n";

TEST_F(PagerConfigTest, ServicesDefaultsAndSecrets) {
  const PagerConfig config = Load(std::string("default_service = \"SMS\"\n") + kSms +
                                  "[services.mail]\nchannel = \"mail\"\n"
                                  "server = \"smtp://mail.example.net:587\"\n"
                                  "from = \"r@example.net\"\npassword = \"{secret:smtp}\"\n");
  EXPECT_EQ(config.timeout_seconds, 10);
  EXPECT_EQ(config.max_length, 160u);
  ASSERT_NE(config.Find(""), nullptr);
  EXPECT_EQ(config.Find("")->name, "sms");
  const ServiceConfig* sms = config.Find("Sms");
  ASSERT_NE(sms, nullptr);
  EXPECT_EQ(sms->method, "POST");
  EXPECT_EQ(sms->body, BodyFormat::kJson);
  EXPECT_EQ(sms->fields.size(), 2u);  // number and text
  const ServiceConfig* mail = config.Find("mail");
  ASSERT_NE(mail, nullptr);
  EXPECT_EQ(mail->to, "{number}");
  EXPECT_TRUE(mail->starttls);
  EXPECT_EQ(config.Find("other"), nullptr);
  ASSERT_NE(config.secrets.Find("api_key"), nullptr);
  EXPECT_EQ(*config.secrets.Find("api_key"), "xyz-123");
}

TEST_F(PagerConfigTest, TheSampleIsValid) {
  const std::string dir = std::string(RINGWELL_PAGER_TEST_DIR) + "/../../";
  std::filesystem::copy_file(dir + "pager.sample.toml", scratch() + "pager.toml");
  std::filesystem::copy_file(dir + "pager-secrets.sample.toml", scratch() + "pager-secrets.toml");
  ::chmod((scratch() + "pager-secrets.toml").c_str(), 0600);
  const PagerConfig config = LoadPagerConfig(scratch() + "pager.toml");
  EXPECT_EQ(config.services.size(), 4u);
  EXPECT_EQ(config.Find("")->name, "sms");
}

TEST_F(PagerConfigTest, MistakesAreRefusedWithTheirReason) {
  struct Row {
    std::string body;
    mode_t secrets_mode;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {kSms, 0644, "is readable by everyone (mode 0644)"},
      {kSms, 0604, "is readable by everyone"},
      {"", 0600, "no [services.NAME] table"},
      {std::string("default_service = \"pager\"\n") + kSms, 0600,
       "the default service \"pager\" is not configured"},
      {"[services.x]\nchannel = \"fax\"\n", 0600, "\"channel\" must be \"http\" or \"mail\""},
      {"[services.x]\nchannel = \"http\"\nurl = \"ftp://h/\"\n", 0600,
       "\"url\" must start with http:// or https://"},
      {"[services.x]\nchannel = \"http\"\nurl = \"http://h/{phone}\"\n", 0600,
       "unknown placeholder {phone}"},
      {"[services.x]\nchannel = \"http\"\nurl = \"http://h/\"\n"
       "headers = { X-Key = \"{secret:missing}\" }\n",
       0600, "no secret named \"missing\""},
      {"[services.x]\nchannel = \"http\"\nurl = \"http://h/\"\nbody = \"xml\"\n", 0600,
       "\"body\" must be"},
      {"[services.x]\nchannel = \"mail\"\nserver = \"smtp://h\"\n", 0600, "\"from\""},
      {"[services.x]\nchannel = \"mail\"\nserver = \"imap://h\"\nfrom = \"a@b\"\n", 0600,
       "\"server\" must start with smtp:// or smtps://"},
      {std::string("timeout = 0\n") + kSms, 0600, "\"timeout\" must be"},
      {std::string("max_length = -1\n") + kSms, 0600, "\"max_length\" must be 0 or more"},
      {std::string(kSms) + "[services.SMS]\nchannel = \"http\"\nurl = \"http://h/\"\n", 0600,
       "is configured twice (names ignore case)"},
      {"[services.x\n", 0600, "line 2: "},
  };
  for (const Row& row : rows) {
    try {
      Load(row.body, row.secrets_mode);
      ADD_FAILURE() << "accepted: " << row.body;
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), HasSubstr(row.reason)) << row.body;
      EXPECT_THAT(e.what(), ::testing::Not(HasSubstr("xyz-123")));
    }
  }
}

}  // namespace
}  // namespace ringwell::host::pager
