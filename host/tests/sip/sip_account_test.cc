// The SIP account's configuration: the password file's permissions and the
// request URI a number becomes.
#include "sip_account.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "ringwell/testing/fixture.h"

namespace ringwell::host::sip {
namespace {

using ::testing::HasSubstr;

struct PasswordCase {
  const char* name;
  mode_t mode;  // 0: no file; 1: a symbolic link to a private file
  bool accepted;
};

void PrintTo(const PasswordCase& c, std::ostream* os) { *os << c.name; }

class PasswordFileTest : public ringwell::testing::RingwellTest,
                         public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(PasswordFileTest, OnlyAPrivateFileIsRead) {
  const PasswordCase& c = GetParam();
  const std::string target = scratch() + "private";
  const std::string path = scratch() + "password";
  ringwell::testing::WriteFile(target, "pa55word\n");
  ::chmod(target.c_str(), 0600);
  if (c.mode == 1) {
    std::filesystem::create_symlink(target, path);
  } else if (c.mode != 0) {
    ringwell::testing::WriteFile(path, "pa55word\n");
    ::chmod(path.c_str(), c.mode);
  }
  SipAccount account;
  account.password_file = path;
  std::string error;
  EXPECT_EQ(PrepareAccount(account, &error), c.accepted) << error;
  if (c.accepted) {
    EXPECT_EQ(account.password, "pa55word");
  } else {
    EXPECT_THAT(error, HasSubstr(path));
    EXPECT_EQ(error.find("pa55word"), std::string::npos);
    EXPECT_TRUE(account.password.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(, PasswordFileTest,
                         ::testing::Values(PasswordCase{"OwnerOnly", 0600, true},
                                           PasswordCase{"OwnerReadOnly", 0400, true},
                                           PasswordCase{"GroupReadable", 0640, false},
                                           PasswordCase{"WorldReadable", 0644, false},
                                           PasswordCase{"Missing", 0, false},
                                           PasswordCase{"SymbolicLink", 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RequestUriTest, TheNumberFillsTheTemplate) {
  const struct {
    const char* uri_template;
    const char* number;
    const char* uri;
  } kCases[] = {
      {"sip:{number}@gw.example.com", "5551234", "sip:5551234@gw.example.com"},
      {"sip:{number}@gw.example.com", "+49 (30) 123-4", "sip:+4930123-4@gw.example.com"},
      {"sip:{number}@10.0.0.1:5080;transport=tcp", "12#", "sip:12%23@10.0.0.1:5080;transport=tcp"},
      {"sip:{number}@gw;user=phone", "1@evil.example;x", "sip:1evil.examplex@gw;user=phone"},
      {"sip:{number}@127.0.0.1:{number}", "5070", "sip:5070@127.0.0.1:5070"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(RequestUri(c.uri_template, c.number), c.uri) << c.number;
  }
}

TEST(RequestUriTest, AUriParameterIsTakenOffWherever) {
  EXPECT_EQ(WithoutUriParameter("sip:proxy.example.com;lr", "lr"), "sip:proxy.example.com");
  EXPECT_EQ(WithoutUriParameter("sip:p:5060;LR;transport=tcp;lr=on", "lr"),
            "sip:p:5060;transport=tcp");
  EXPECT_EQ(WithoutUriParameter("sip:p;transport=tcp;lr?h=1", "lr"), "sip:p;transport=tcp?h=1");
  EXPECT_EQ(WithoutUriParameter("sip:p;lrx", "lr"), "sip:p;lrx");
  EXPECT_EQ(WithoutUriParameter("sip:p", "lr"), "sip:p");
}

TEST(RequestUriTest, TheHostOfAUri) {
  EXPECT_EQ(UriHost("sip:pbx.example.com"), "pbx.example.com");
  EXPECT_EQ(UriHost("sip:{number}@gw.example.com:5061;transport=tls"), "gw.example.com");
  EXPECT_EQ(UriHost("sips:user@[2001:db8::1]:5061"), "2001:db8::1");
}

TEST(RequestUriTest, ATemplateWithoutTheNumberIsRefused) {
  SipAccount account;
  account.uri_template = "sip:operator@gw.example.com";
  std::string error;
  EXPECT_FALSE(PrepareAccount(account, &error));
  EXPECT_THAT(error, HasSubstr("{number}"));
}

}  // namespace
}  // namespace ringwell::host::sip
