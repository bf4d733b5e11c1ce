// The real pager against a web hook and an SMTP server on 127.0.0.1: what
// each channel sends, and the result each page gets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "pager/curl_pager.h"
#include "pager_servers.h"
#include "pager_test_support.h"

namespace ringwell::host::pager {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::PageResult;
using testing::PeerServer;
using testing::ReadResult;
using testing::RequestXml;

constexpr char kId[] = "{0A1B2C3D-0000-4000-8000-000000000001}";
constexpr char kSecret[] = "k3y-S3cr3t-value";
const std::string kText = "Server room 2: cooling failed";

class PagerDeliveryTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    ASSERT_TRUE(web_.Start("webhook_server.py", scratch() + "web.jsonl",
                           {"--status", "5550500=500", "--hang", "5550999"}));
    ASSERT_TRUE(mail_.Start("smtp_server.py", scratch() + "mail.jsonl",
                            {"--reject", "reject@sms.example.net"}));
    ringwell::testing::WriteFile(scratch() + "secrets.toml",
                                 "sms_key = \"" + std::string(kSecret) + "\"\n");
    ::chmod((scratch() + "secrets.toml").c_str(), 0600);
  }

  std::string Config() const {
    const std::string web = "http://127.0.0.1:" + std::to_string(web_.port());
    const std::string smtp = "smtp://127.0.0.1:" + std::to_string(mail_.port());
    return "default_service = \"sms\"\ntimeout = 1\nmax_length = 100\nsecrets = \"" + scratch() +
           "secrets.toml\"\n"
           "[services.sms]\nchannel = \"http\"\nurl = \"" +
           web +
           "/sms/{number}?id={id}\"\n"
           "fields = { to = \"{number}\", text = \"{text}\" }\n"
           "headers = { X-Api-Key = \"{secret:sms_key}\" }\n"
           "[services.oncall]\nchannel = \"http\"\nbody = \"none\"\n"
           "url = \"" +
           web +
           "/hook?to={number}&text={text}\"\n"
           "[services.form]\nchannel = \"http\"\nbody = \"form\"\nurl = \"" +
           web +
           "/form\"\n"
           "fields = { number = \"{number}\", message = \"{text}\" }\n"
           "[services.keyed]\nchannel = \"http\"\nbody = \"none\"\nurl = \"" +
           web +
           "/keyed?key={secret:sms_key}&to={number}\"\n"
           "[services.closed]\nchannel = \"http\"\nurl = \"http://127.0.0.1:1/\"\n"
           "[services.mail]\nchannel = \"mail\"\nserver = \"" +
           smtp +
           "\"\nstarttls = false\n"
           "from = \"Ringwell <ringwell@example.net>\"\nto = \"{number}@sms.example.net\"\n"
           "subject = \"Page {id}\"\n"
           "[services.direct]\nchannel = \"mail\"\nserver = \"" +
           smtp +
           "\"\nstarttls = false\n"
           "from = \"ringwell@example.net\"\n"
           "[services.secure-mail]\nchannel = \"mail\"\nserver = \"" +
           smtp +
           "\"\n"
           "from = \"ringwell@example.net\"\n";
  }

  // Sends one batch; the results in order.
  std::vector<PageResult> Send(const std::vector<std::pair<std::string, std::string>>& pages) {
    const std::string config_path = scratch() + "pager.toml";
    ringwell::testing::WriteFile(config_path, Config());
    auto pager = MakeComObject<CurlPager>(LoadPagerConfig(config_path), "");
    const std::string request = RequestXml(
        kId, {{"Text", "Server room 2:"}, {"File", "chime.wav"}, {"Text", " cooling failed "}});
    std::vector<const char*> numbers, services, requests;
    for (const auto& [service, number] : pages) {
      services.push_back(service.c_str());
      numbers.push_back(number.c_str());
      requests.push_back(request.c_str());
    }
    std::vector<std::string> results;
    EXPECT_EQ(pager->SendPages(static_cast<std::int32_t>(pages.size()), numbers.data(),
                               services.data(), requests.data(), &results),
              S_OK);
    std::vector<PageResult> read;
    for (const std::string& result : results) {
      EXPECT_THAT(result, Not(HasSubstr(kSecret)));
      read.push_back(ReadResult(result));
    }
    return read;
  }

  PeerServer web_;
  PeerServer mail_;
};

struct Row {
  std::string name;
  std::string service;
  std::string number;
  std::string status;
  std::string error;  // a part of the Error attribute ("" for a sent page)
  // What the peer received (web hook requests or mail messages), when it matters.
  std::function<void(const std::vector<json>& web, const std::vector<json>& mail)> received;
};

TEST_F(PagerDeliveryTest, EachPageIsSentOrFailsWithTheChannelsReply) {
  const std::vector<Row> rows = {
      {"json web hook with the API key", "sms", "5551234", "Sent", "",
       [](const auto& web, const auto&) {
         ASSERT_EQ(web.size(), 1u);
         EXPECT_EQ(web[0]["method"], "POST");
         EXPECT_EQ(web[0]["path"], "/sms/5551234?id=%7B0A1B2C3D-0000-4000-8000-000000000001%7D");
         EXPECT_EQ(web[0]["headers"]["X-Api-Key"], kSecret);
         EXPECT_EQ(web[0]["headers"]["Content-Type"], "application/json");
         EXPECT_EQ(web[0]["body"], R"({"text":"Server room 2: cooling failed","to":"5551234"})");
       }},
      {"no service: the default one", "", "5551235", "Sent", "",
       [](const auto& web, const auto&) {
         ASSERT_EQ(web.size(), 1u);
         EXPECT_EQ(web[0]["path"].template get<std::string>().substr(0, 13), "/sms/5551235?");
       }},
      {"service names ignore case", "SMS", "5551236", "Sent", "", nullptr},
      {"text and number in the URL", "oncall", "+49 555", "Sent", "",
       [](const auto& web, const auto&) {
         ASSERT_EQ(web.size(), 1u);
         EXPECT_EQ(web[0]["method"], "GET");
         EXPECT_EQ(web[0]["path"],
                   "/hook?to=%2B49%20555&text=Server%20room%202%3A%20cooling%20failed");
         EXPECT_EQ(web[0]["body"], "");
       }},
      {"form body", "form", "5551237", "Sent", "",
       [](const auto& web, const auto&) {
         ASSERT_EQ(web.size(), 1u);
         EXPECT_EQ(web[0]["headers"]["Content-Type"], "application/x-www-form-urlencoded");
         EXPECT_EQ(web[0]["body"],
                   "message=Server%20room%202%3A%20cooling%20failed&number=5551237");
       }},
      {"API key in the URL, echoed in the reply", "keyed", "5551242", "Sent", "",
       [](const auto& web, const auto&) {
         ASSERT_EQ(web.size(), 1u);
         EXPECT_EQ(web[0]["path"], "/keyed?key=" + std::string(kSecret) + "&to=5551242");
       }},
      {"gateway answers 500", "sms", "5550500", "Failed", "HTTP 500 Internal Server Error",
       nullptr},
      {"gateway never answers", "sms", "5550999", "Failed", "No reply within 1 s", nullptr},
      {"gateway not listening", "closed", "5551238", "Failed", "127.0.0.1 port 1", nullptr},
      {"unknown service", "pagerduty", "5551239", "Failed",
       "Unknown service \"pagerduty\": the pager configuration has no such service",
       [](const auto& web, const auto& mail) {
         EXPECT_TRUE(web.empty());
         EXPECT_TRUE(mail.empty());
       }},
      {"mail to the address template", "mail", "5551240", "Sent", "",
       [](const auto&, const auto& mail) {
         ASSERT_EQ(mail.size(), 1u);
         EXPECT_EQ(mail[0]["mail_from"], "ringwell@example.net");
         EXPECT_EQ(mail[0]["rcpt_tos"], json::array({"5551240@sms.example.net"}));
         const std::string data = mail[0]["data"];
         EXPECT_THAT(data,
                     HasSubstr("\r\nSubject: Page {0A1B2C3D-0000-4000-8000-000000000001}\r\n"));
         EXPECT_THAT(data, HasSubstr("\r\nContent-Type: text/plain; charset=UTF-8\r\n"));
         EXPECT_THAT(data,
                     ::testing::ContainsRegex("\r\nMessage-ID: <[-0-9A-F]{36}@example[.]net>\r\n"));
         EXPECT_THAT(data, HasSubstr("\r\nContent-Transfer-Encoding: 7bit\r\n"));
         EXPECT_THAT(data, HasSubstr("\r\n\r\nServer room 2: cooling failed\r\n"));
       }},
      {"mail to the number as the address", "direct", "oncall@example.org", "Sent", "",
       [](const auto&, const auto& mail) {
         ASSERT_EQ(mail.size(), 1u);
         EXPECT_EQ(mail[0]["rcpt_tos"], json::array({"oncall@example.org"}));
       }},
      {"server rejects the recipient", "mail", "reject", "Failed",
       "SMTP 550 5.1.1 <reject@sms.example.net>: Recipient address rejected",
       [](const auto&, const auto& mail) { EXPECT_TRUE(mail.empty()); }},
      {"number that is no address", "direct", "5551241", "Failed",
       "\"5551241\" is not a mail address", nullptr},
      {"server without STARTTLS", "secure-mail", "a@example.org", "Failed", "STARTTLS",
       [](const auto&, const auto& mail) { EXPECT_TRUE(mail.empty()); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::size_t web_before = web_.Received().size();
    const std::size_t mail_before = mail_.Received().size();
    const std::vector<PageResult> results = Send({{row.service, row.number}});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, row.status) << results[0].protocol;
    EXPECT_EQ(results[0].answer, row.status);
    if (row.error.empty()) {
      EXPECT_EQ(results[0].error, "");
    } else {
      EXPECT_THAT(results[0].error, HasSubstr(row.error));
      EXPECT_THAT(results[0].protocol, HasSubstr(row.error));
    }
    EXPECT_THAT(results[0].protocol, HasSubstr(kText));
    if (row.received) {
      const std::vector<json> web = web_.Received();
      const std::vector<json> mail = mail_.Received();
      row.received(std::vector<json>(web.begin() + static_cast<long>(web_before), web.end()),
                   std::vector<json>(mail.begin() + static_cast<long>(mail_before), mail.end()));
    }
  }
}

TEST_F(PagerDeliveryTest, OneFailingPageOfABatchLeavesTheOthersSent) {
  const std::vector<PageResult> results = Send({{"sms", "5550001"},
                                                {"mail", "5550002"},
                                                {"sms", "5550999"},
                                                {"oncall", "5550004"},
                                                {"sms", "5550005"}});
  std::vector<std::string> statuses;
  for (const PageResult& result : results) statuses.push_back(result.status);
  EXPECT_THAT(statuses, ElementsAre("Sent", "Sent", "Failed", "Sent", "Sent"));
  EXPECT_EQ(results[2].error, "No reply within 1 s (may have been delivered)");
  EXPECT_EQ(web_.Received().size(), 4u);
  EXPECT_EQ(mail_.Received().size(), 1u);
}

// Mail goes out as large providers take it: a Message-ID of its own on the
// sender's domain, and only 7-bit data (a text beyond ASCII as
// quoted-printable), whatever the server offers.
TEST_F(PagerDeliveryTest, MailHasAMessageIdAndSevenBitData) {
  ringwell::testing::WriteFile(scratch() + "mail.toml",
                               "[services.mail]\nchannel = \"mail\"\nstarttls = false\n"
                               "from = \"Ringwell <alarm@plant.example.org>\"\n"
                               "server = \"smtp://127.0.0.1:" +
                                   std::to_string(mail_.port()) + "\"\n");
  auto pager = MakeComObject<CurlPager>(LoadPagerConfig(scratch() + "mail.toml"), "");
  const std::string text = "K\u00fchlraum 3: \u00fcber 8 \u00b0C = Alarm";
  const std::string request = RequestXml(kId, {{"Text", text}});
  const char* numbers[] = {"a@example.org", "b@example.org"};
  const char* services[] = {"mail", "mail"};
  const char* requests[] = {request.c_str(), request.c_str()};
  std::vector<std::string> results;
  ASSERT_EQ(pager->SendPages(2, numbers, services, requests, &results), S_OK);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(ReadResult(results[0]).status, "Sent") << results[0];
  const std::vector<json> mail = mail_.Received();
  ASSERT_EQ(mail.size(), 2u);
  std::vector<std::string> ids;
  for (const json& message : mail) {
    const std::string data = message["data"];
    EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](char c) {
      return (static_cast<unsigned char>(c) & 0x80) == 0;
    })) << data;
    EXPECT_THAT(data, HasSubstr("\r\nContent-Transfer-Encoding: quoted-printable\r\n"));
    EXPECT_THAT(data, HasSubstr("\r\n\r\nK=C3=BChlraum 3: =C3=BCber 8 =C2=B0C =3D Alarm\r\n"));
    const std::size_t at = data.find("\r\nMessage-ID: <");
    ASSERT_NE(at, std::string::npos) << data;
    const std::string id = data.substr(at + 15, data.find('>', at) - at - 14);
    EXPECT_THAT(id, ::testing::EndsWith("@plant.example.org>"));
    ids.push_back(id);
  }
  EXPECT_NE(ids[0], ids[1]);
}

// A gateway slower than its service's timeout may have taken the page: the
// result says so, and the retry carries the same Idempotency-Key, so the
// gateway can tell it from a new page. A service with a longer timeout of its
// own waits for the same gateway.
TEST_F(PagerDeliveryTest, ARetryAfterATimeoutCarriesTheSameIdempotencyKey) {
  PeerServer slow;
  ASSERT_TRUE(slow.Start("webhook_server.py", scratch() + "slow.jsonl", {"--delay", "2"}));
  const std::string url = "url = \"http://127.0.0.1:" + std::to_string(slow.port()) + "/\"\n";
  ringwell::testing::WriteFile(scratch() + "slow.toml",
                               "timeout = 10\n"
                               "[services.hasty]\nchannel = \"http\"\ntimeout = 1\n" +
                                   url + "[services.patient]\nchannel = \"http\"\ntimeout = 5\n" +
                                   url);
  auto pager = MakeComObject<CurlPager>(LoadPagerConfig(scratch() + "slow.toml"), "");
  const std::string request = RequestXml(kId, {{"Text", "Boiler pressure low"}});
  auto send = [&](const char* service, const char* number) {
    const char* requests[] = {request.c_str()};
    std::vector<std::string> results;
    EXPECT_EQ(pager->SendPages(1, &number, &service, requests, &results), S_OK);
    return results.size() == 1 ? ReadResult(results[0]) : PageResult{};
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    const PageResult result = send("hasty", "5550001");
    EXPECT_EQ(result.status, "Failed");
    EXPECT_EQ(result.error, "No reply within 1 s (may have been delivered)");
  }
  EXPECT_EQ(send("patient", "5550002").status, "Sent");

  const std::vector<json> received = slow.Received();
  ASSERT_EQ(received.size(), 3u);
  const std::string key = received[0]["headers"].value("Idempotency-Key", "");
  EXPECT_THAT(
      key, ::testing::MatchesRegex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"));
  EXPECT_EQ(received[1]["headers"].value("Idempotency-Key", ""), key);
  EXPECT_NE(received[2]["headers"].value("Idempotency-Key", ""), key);
}

TEST_F(PagerDeliveryTest, TlsPeersMustHoldATrustedCertificate) {
  ASSERT_TRUE(testing::MakeCertificate(scratch()));
  PeerServer secure_web;
  PeerServer secure_mail;
  ASSERT_TRUE(secure_web.Start("webhook_server.py", scratch() + "secure-web.jsonl",
                               {"--cert", scratch() + "cert.pem", "--key", scratch() + "key.pem"}));
  ASSERT_TRUE(
      secure_mail.Start("smtp_server.py", scratch() + "secure-mail.jsonl",
                        {"--cert", scratch() + "cert.pem", "--key", scratch() + "key.pem"}));
  const std::string ca = "ca_file = \"" + scratch() + "cert.pem\"\n";
  const std::string web =
      "channel = \"http\"\nurl = \"https://127.0.0.1:" + std::to_string(secure_web.port()) +
      "/\"\n";
  const std::string mail =
      "channel = \"mail\"\nfrom = \"r@example.net\"\nserver = \"smtp://127.0.0.1:" +
      std::to_string(secure_mail.port()) + "\"\n";
  ringwell::testing::WriteFile(scratch() + "tls.toml", "timeout = 5\n[services.web]\n" + web + ca +
                                                           "[services.mail]\n" + mail + ca +
                                                           "[services.untrusted-web]\n" + web +
                                                           "[services.untrusted-mail]\n" + mail);
  auto pager = MakeComObject<CurlPager>(LoadPagerConfig(scratch() + "tls.toml"), "");
  const std::string request = RequestXml(kId, {{"Text", "TLS check"}});
  const char* numbers[] = {"5550001", "a@example.org", "5550002", "b@example.org"};
  const char* services[] = {"web", "mail", "untrusted-web", "untrusted-mail"};
  const char* requests[] = {request.c_str(), request.c_str(), request.c_str(), request.c_str()};
  std::vector<std::string> results;
  ASSERT_EQ(pager->SendPages(4, numbers, services, requests, &results), S_OK);
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(ReadResult(results[0]).status, "Sent") << results[0];
  EXPECT_EQ(ReadResult(results[1]).status, "Sent") << results[1];
  for (int i : {2, 3}) {
    EXPECT_EQ(ReadResult(results[i]).status, "Failed");
    EXPECT_THAT(ReadResult(results[i]).error, HasSubstr("certificate")) << results[i];
  }
  EXPECT_EQ(secure_web.Received().size(), 1u);
  ASSERT_EQ(secure_mail.Received().size(), 1u);
  EXPECT_EQ(secure_mail.Received()[0]["rcpt_tos"], json::array({"a@example.org"}));
}

}  // namespace
}  // namespace ringwell::host::pager
