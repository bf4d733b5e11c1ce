// The page text taken from a request, the length rule, and the templates.
#include "pager/page_text.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "pager_test_support.h"

namespace ringwell::host::pager {
namespace {

using testing::RequestXml;

TEST(PageTextTest, TextPartsJoinedInOrderAndCut) {
  struct Row {
    std::string name;
    std::string request;
    std::size_t max_length;
    std::string text;
  };
  const std::vector<Row> rows = {
      {"parts joined by one space", RequestXml("x", {{"Text", "Disk full"}, {"Text", "on db1"}}), 0,
       "Disk full on db1"},
      {"recordings and empty parts left out",
       RequestXml(
           "x",
           {{"File", "chime.wav"}, {"Text", "  Disk full\n"}, {"Text", " "}, {"Text", "on db1"}}),
       0, "Disk full on db1"},
      {"cut to the maximum", RequestXml("x", {{"Text", "Disk full"}, {"Text", "on db1"}}), 9,
       "Disk full"},
      {"no cut at the exact length", RequestXml("x", {{"Text", "Disk full"}}), 9, "Disk full"},
      {"characters, not bytes", RequestXml("x", {{"Text", "Kühlung ausgefallen"}}), 7, "Kühlung"},
      {"never half a character", RequestXml("x", {{"Text", "€€€"}}), 2, "€€"},
      {"only the first message",
       "<Request ID=\"x\"><CallTree><Message><MessagePart Type=\"Text\">one</MessagePart>"
       "</Message><Responses><Response Button=\"1\"><Message><MessagePart Type=\"Text\">two"
       "</MessagePart></Message></Response></Responses></CallTree></Request>",
       0, "one"},
      {"entities decoded", RequestXml("x", {{"Text", "A &amp; B &lt;3&gt;"}}), 0, "A & B <3>"},
      {"not XML", "<Request", 0, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(PageText(row.request, row.max_length), row.text) << row.name;
  }
}

TEST(PageTextTest, TemplatesFillPlaceholdersAndEncodeForUrls) {
  const Secrets secrets(std::map<std::string, std::string, std::less<>>{{"key", "a/b c"}});
  const PageFields page{"+49 555", "Ä & ü?", "{ID}"};
  EXPECT_EQ(
      FillTemplate("to={number}&t={text}&k={secret:key}&id={id}", page, secrets, Encoding::kUrl),
      "to=%2B49%20555&t=%C3%84%20%26%20%C3%BC%3F&k=a%2Fb%20c&id=%7BID%7D");
  EXPECT_EQ(FillTemplate("{number}@sms.example.net {text} {secret:key}", page, secrets),
            "+49 555@sms.example.net Ä & ü? a/b c");
  EXPECT_EQ(FillTemplate("no braces } {", page, secrets), "no braces } {");
  EXPECT_THROW(FillTemplate("{nubmer}", page, secrets), std::runtime_error);
  EXPECT_THROW(FillTemplate("{secret:other}", page, secrets), std::runtime_error);
}

TEST(PageTextTest, RedactReplacesEverySecretValue) {
  const Secrets secrets(std::map<std::string, std::string, std::less<>>{
      {"key", "s3cret"}, {"pw", "a b/c"}, {"empty", ""}});
  EXPECT_EQ(secrets.Redact("token s3cret and s3cret again"),
            "token [secret key] and [secret key] again");
  EXPECT_EQ(secrets.Redact("pw=a b/c, in a URL pw=a%20b%2Fc"),
            "pw=[secret pw], in a URL pw=[secret pw]");
}

}  // namespace
}  // namespace ringwell::host::pager
