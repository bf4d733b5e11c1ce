// ringwell-host with the real pager, as a process with the real scheduler
// and report generator: a page request's pages reach the web hook, a failed
// page is retried under the request's error rule, and the report says why.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "pager_servers.h"
#include "pager_test_support.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/tallier/tallier.h"

namespace ringwell::host::pager {
namespace {

namespace fs = std::filesystem;
using ringwell::testing::ChildProcess;
using ringwell::testing::ProgramPath;
using ringwell::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::PageResult;

constexpr char kId[] = "{22222222-0000-4000-8000-000000000001}";

class PagerHostTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    if (!fs::exists(ringwell::testing::LibraryPath("tallier"))) {
      GTEST_SKIP() << "libtallier.so is not built in this tree";
    }
    for (const char* library : {"dialqueue", "tallier"}) {
      ASSERT_EQ(ringwell::testing::RunProgram(
                    {ProgramPath("ringwell-regsvr"), ringwell::testing::LibraryPath(library)}),
                0);
    }
    ASSERT_TRUE(
        web_.Start("webhook_server.py", scratch() + "web.jsonl", {"--status", "5550500=500"}));
    WriteFile(scratch() + "secrets.toml", "key = \"hook-key\"\n");
    ::chmod((scratch() + "secrets.toml").c_str(), 0600);
    WriteFile(scratch() + "pager.toml",
              "default_service = \"sms\"\ntimeout = 2\nsecrets = \"secrets.toml\"\n"
              "[services.sms]\nchannel = \"http\"\nurl = \"http://127.0.0.1:" +
                  std::to_string(web_.port()) +
                  "/send\"\nheaders = { X-Key = \"{secret:key}\" }\n");
  }

  // Lays down Requests/ID.xml as the preprocessing daemon leaves a page
  // request: its report first, then the file itself at once.
  void SchedulePage(const std::vector<std::string>& numbers) {
    std::string xml =
        "<Request xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" ID=\"" + std::string(kId) +
        "\" UserID=\"{0}\" Type=\"Page\"><StartTime dt:dt=\"dateTime\">" +
        OleDateToIso(OleDateNow() - 1.0 / 24) + "</StartTime><StopTime dt:dt=\"dateTime\">" +
        OleDateToIso(OleDateNow() + 1) + "</StopTime><Recipients>";
    for (const std::string& number : numbers) {
      xml += "<Recipient dt:dt=\"string\" Type=\"PagerNumber\">" + number + "</Recipient>";
    }
    xml +=
        "</Recipients><NumberOfAttemptsIfError dt:dt=\"int\">1</NumberOfAttemptsIfError>"
        "<DelayIfError dt:dt=\"int\">0</DelayIfError><CallTree><Message>"
        "<MessagePart Type=\"Text\" dt:dt=\"string\">Backup failed</MessagePart>"
        "</Message></CallTree></Request>";
    const std::string staging = scratch() + "request.xml";
    WriteFile(staging, xml);
    ComPtr<tallier::ITallier> tallier;
    ASSERT_EQ(CreateInstance(tallier::kTallierClsid, &tallier), S_OK);
    ASSERT_EQ(tallier->CreateNewReport(staging.c_str()), S_OK);
    fs::rename(staging, root() + "Requests/" + kId + ".xml");
  }

  // Per recipient: its status and the result of each page sent to it; empty
  // until the report says "Completed".
  std::map<std::string, std::pair<std::string, std::vector<PageResult>>> CompletedReport() {
    xml::Document report;
    if (report.Load(root() + "Reports/" + kId + ".xml") != S_OK ||
        std::string_view(report.FirstChild().attribute("Status").value()) != "Completed") {
      return {};
    }
    std::map<std::string, std::pair<std::string, std::vector<PageResult>>> recipients;
    for (pugi::xml_node sub : report.FirstChild().children("SubReport")) {
      auto& [status, pages] = recipients[sub.attribute("Recipient").value()];
      status = sub.attribute("Status").value();
      for (pugi::xml_node call : sub.children("Call")) {
        pages.push_back(testing::ReadResult(xml::Markup(call)));
      }
    }
    return recipients;
  }

  testing::PeerServer web_;
};

TEST_F(PagerHostTest, PagesAreDeliveredAndAFailedOneIsRetriedUnderTheErrorRule) {
  SchedulePage({"5550001", "5550500"});
  ChildProcess host;
  ASSERT_TRUE(host.Start({ProgramPath("ringwell-host"), "--root", root(), "--pager-config",
                          scratch() + "pager.toml"}));
  ASSERT_TRUE(host.WaitForLine("ringwell-host: ready", std::chrono::seconds(20))) << host.output();

  auto report = CompletedReport();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (report.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    report = CompletedReport();
  }
  ASSERT_FALSE(report.empty()) << host.output();
  EXPECT_EQ(report["5550001"].first, "Sent");
  ASSERT_EQ(report["5550001"].second.size(), 1u);
  EXPECT_EQ(report["5550001"].second[0].answer, "Sent");
  // One attempt and one retry, both refused by the gateway.
  EXPECT_EQ(report["5550500"].first, "Failed");
  ASSERT_EQ(report["5550500"].second.size(), 2u);
  for (const PageResult& page : report["5550500"].second) {
    EXPECT_EQ(page.status, "Failed");
    EXPECT_EQ(page.error, "HTTP 500 Internal Server Error");
    EXPECT_THAT(page.protocol, HasSubstr("Backup failed"));
  }
  const auto received = web_.Received();
  ASSERT_EQ(received.size(), 3u);
  for (const auto& request : received) EXPECT_EQ(request["headers"]["X-Key"], "hook-key");
  EXPECT_THAT(ringwell::testing::ReadFile(root() + "Reports/" + kId + ".xml"),
              ::testing::Not(HasSubstr("hook-key")));

  host.Signal(SIGTERM);
  const int status = host.Wait(std::chrono::seconds(20));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(PagerHostTest, HostRefusesToStartWithAWorldReadableSecretsFile) {
  ::chmod((scratch() + "secrets.toml").c_str(), 0644);
  std::string output;
  EXPECT_EQ(ringwell::testing::RunProgram({ProgramPath("ringwell-host"), "--root", root(),
                                           "--pager-config", scratch() + "pager.toml"},
                                          {}, &output),
            1);
  EXPECT_THAT(output, ::testing::Not(HasSubstr("ready")));
}

// The host's heartbeat, once it has written one.
nlohmann::json Heartbeat(const std::string& root) {
  const std::string text = ringwell::testing::ReadFile(root + "Status/ringwell-host.json");
  nlohmann::json content = nlohmann::json::parse(text, nullptr, false);
  return content.is_object() ? content : nlohmann::json::object();
}

// A host with SIP lines and no --pager-config has no pager: a page fails
// "no pager is configured" and is never told "Sent"; the ready line and the
// heartbeat say so. A simulated pager runs beside SIP lines only when asked
// for, and says it is simulated wherever it shows.
TEST_F(PagerHostTest, WithoutAPagerConfigurationAPageFailsAndIsNeverSent) {
  SchedulePage({"5550001"});
  {
    ChildProcess host;
    ASSERT_TRUE(host.Start({ProgramPath("ringwell-host"), "--root", root(), "--sip-lines", "1",
                            "--sip-local-address", "127.0.0.1"}));
    ASSERT_TRUE(host.WaitForLine("ringwell-host: ready", std::chrono::seconds(20)))
        << host.output();
    EXPECT_THAT(host.output(), HasSubstr("no pager (pages fail: no pager is configured)"));
    auto report = CompletedReport();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (report.empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      report = CompletedReport();
    }
    ASSERT_FALSE(report.empty()) << host.output();
    EXPECT_EQ(report["5550001"].first, "Failed");
    ASSERT_FALSE(report["5550001"].second.empty());
    for (const PageResult& page : report["5550001"].second) {
      EXPECT_EQ(page.status, "Failed");
      EXPECT_EQ(page.error, "no pager is configured");
      EXPECT_THAT(page.protocol, HasSubstr("not sent"));
    }
    // The heartbeat is written every 2 s: the failed pages show in the next.
    nlohmann::json heartbeat = Heartbeat(root());
    const auto written = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (heartbeat.value("counters", nlohmann::json::object())["pages"] !=
               nlohmann::json({{"Failed", 2}}) &&
           std::chrono::steady_clock::now() < written) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      heartbeat = Heartbeat(root());
    }
    EXPECT_EQ(heartbeat["pager"], nlohmann::json({{"kind", "none"}})) << heartbeat;
    for (const auto& line : heartbeat["lines"]) EXPECT_NE(line["kind"], "pager") << heartbeat;
    EXPECT_EQ(heartbeat["counters"]["pages"], nlohmann::json({{"Failed", 2}})) << heartbeat;
    host.Signal(SIGTERM);
    host.Wait(std::chrono::seconds(20));
  }
  EXPECT_THAT(ringwell::testing::ReadFile(root() + "Reports/" + kId + ".xml"),
              ::testing::Not(HasSubstr("\"Sent\"")));

  // Asked for, the simulated pager says what it is.
  ChildProcess host;
  ASSERT_TRUE(host.Start({ProgramPath("ringwell-host"), "--root", root(), "--sip-lines", "1",
                          "--sip-local-address", "127.0.0.1", "--simulated-pager"}));
  ASSERT_TRUE(host.WaitForLine("ringwell-host: ready", std::chrono::seconds(20))) << host.output();
  EXPECT_THAT(host.output(), HasSubstr("simulated pager on line 0"));
  const nlohmann::json heartbeat = Heartbeat(root());
  EXPECT_EQ(heartbeat["pager"], nlohmann::json({{"kind", "simulated"}, {"line", 0}})) << heartbeat;
  bool pager_line = false;
  for (const auto& line : heartbeat["lines"]) {
    if (line["kind"] == "pager") pager_line = line.value("simulated", false);
  }
  EXPECT_TRUE(pager_line) << heartbeat;
  host.Signal(SIGTERM);
  host.Wait(std::chrono::seconds(20));
}

}  // namespace
}  // namespace ringwell::host::pager
