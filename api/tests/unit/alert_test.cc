// Alert routes, notifications and spoken texts as the receivers rely on them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "alert_ledger.h"
#include "alert_payload.h"
#include "alert_routes.h"
#include "alert_template.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::api {
namespace {

using ::testing::HasSubstr;

std::string RouteError(const std::string& text) {
  try {
    ParseAlertRoutes(text, "routes.toml");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "accepted";
}

AlertGroup Group(const std::string& status, std::vector<Alert> alerts) {
  AlertGroup group;
  group.status = status;
  group.group_key = "{}:{alertname=\"DiskFull\"}";
  group.alerts = std::move(alerts);
  return group;
}

TEST(AlertRoutesTest, RoutesAreReadWithTheirKeysAndRefusedNamingTheKey) {
  const AlertRoutes routes = ParseAlertRoutes(R"(
[routes.oncall]
numbers = ["5551234"]

[routes.db-team]
numbers = ["5550001", "5550002"]
page = ["5559876", {number = "ops@example.net", service = "mail"}]
say = "{status}: {labels.alertname} on {labels.instance}, {count} alerts"
window = {stop = "+2h"}
rings = 5
busy = {attempts = 2, delay = 1}
responses = [{button = "1", message = ["Acknowledged."]}]
resolved = "say"
sayResolved = "All clear: {labels.alertname} on {labels.instance}."
voice = "Female"
)",
                                              "routes.toml");
  ASSERT_EQ(routes.size(), 2u);
  const AlertRoute& oncall = routes.at("oncall");
  EXPECT_EQ(oncall.resolved, OnResolved::kCancel);
  EXPECT_TRUE(oncall.say.empty());
  const AlertRoute& db = routes.at("db-team");
  EXPECT_EQ(db.resolved, OnResolved::kSay);
  EXPECT_EQ(db.numbers, nlohmann::json({"5550001", "5550002"}));
  const auto call = DescribeRequest(db, "Firing: DiskFull.", false);
  EXPECT_EQ(call["type"], "call");
  EXPECT_EQ(call["rings"], 5);
  EXPECT_EQ(call["window"]["stop"], "+2h");
  EXPECT_EQ(call["busy"], nlohmann::json({{"attempts", 2}, {"delay", 1}}));
  EXPECT_EQ(call["responses"][0]["button"], "1");
  EXPECT_EQ(call["message"],
            nlohmann::json::parse(R"([{"say": "Firing: DiskFull.", "voice": "Female"}])"));
  const auto page = DescribeRequest(db, "Firing: DiskFull.", true);
  EXPECT_EQ(page["type"], "page");
  EXPECT_EQ(page["recipients"][1]["service"], "mail");
  EXPECT_FALSE(page.contains("responses"));
  EXPECT_EQ(page["window"]["stop"], "+2h");
  // A resolved call says its text without the press-1 menu; its own text, or
  // the default "Resolved: {labels.alertname}.".
  const auto resolved = DescribeRequest(db, "Resolved: DiskFull.", false, true);
  EXPECT_FALSE(resolved.contains("responses"));
  EXPECT_EQ(resolved["rings"], 5);
  Alert gone{"resolved", {{"alertname", "DiskFull"}}, {}, "r1"};
  EXPECT_EQ(db.say_resolved.Render(Group("resolved", {gone})), "All clear: DiskFull.");
  EXPECT_EQ(oncall.say_resolved.Render(Group("resolved", {gone})), "Resolved: DiskFull.");
  EXPECT_EQ(oncall.say_resolved.text(), "Resolved: {labels.alertname}.");

  EXPECT_EQ(RouteError("[routes.a]\nnumbers = [\"1\"]\nresolve = \"say\"\n"),
            "routes.toml: [routes.a] resolve: unknown key (there are numbers, page, say, "
            "sayResolved, voice, window, rings, maxGreeting, busy, noAnswer, error, responses, "
            "resolved, policy, alertmanager, silence, webhook)");
  EXPECT_EQ(RouteError("[routes.a]\nnumbers = [\"1\"]\nresolved = \"silence\"\n"),
            "routes.toml: [routes.a] resolved: must be \"say\", \"cancel\" or \"ignore\"");
  EXPECT_EQ(RouteError("[routes.a]\nsay = \"x\"\n"),
            "routes.toml: [routes.a]: needs numbers to call (numbers = [\"5551234\"]) or to page "
            "(page = [...])");
  EXPECT_EQ(RouteError("[routes.a]\nnumbers = [5551234]\n"),
            "routes.toml: [routes.a] numbers: must be a list of numbers (texts)");
  EXPECT_THAT(RouteError("[routes.a]\nnumbers = [\"1\"]\nsay = \"{labels}\"\n"),
              HasSubstr("say: unknown placeholder {labels}"));
  EXPECT_THAT(RouteError("[routes.a]\nnumbers = [\"1\"]\nsay = \"a } b\"\n"),
              HasSubstr("say: a } without its {"));
  EXPECT_THAT(RouteError("[routes.\"a/b\"]\nnumbers = [\"1\"]\n"), HasSubstr("part of a URL"));
  EXPECT_THAT(RouteError("[routes.a]\nnumbers = [\"1\"\n"), HasSubstr("routes.toml: line 2"));
  EXPECT_THAT(RouteError("[oncall]\nnumbers = [\"1\"]\n"), HasSubstr("unknown key \"oncall\""));
}

TEST(AlertTemplateTest, PlaceholdersAndTheDefaultText) {
  Alert disk{"firing",
             {{"alertname", "DiskFull"}, {"instance", "db1"}},
             {{"summary", "The disk of db1 is full"}, {"description", "98 % used"}},
             "a1"};
  Alert load{"firing", {{"alertname", "HighLoad"}}, {{"description", "Load is 40"}}, "a2"};
  Alert gone{"resolved", {{"alertname", "Old"}}, {}, "a3"};
  EXPECT_EQ(AlertTemplate().Render(Group("firing", {disk})),
            "Firing: DiskFull. The disk of db1 is full.");
  EXPECT_EQ(AlertTemplate().Render(Group("firing", {disk, load, gone})),
            "Firing, 2 alerts. DiskFull. The disk of db1 is full. HighLoad. Load is 40.");
  EXPECT_EQ(AlertTemplate().Render(Group("resolved", {gone})), "Resolved: Old.");
  std::vector<Alert> many(7, load);
  EXPECT_THAT(AlertTemplate().Render(Group("firing", many)), HasSubstr("Load is 40. And 2 more."));

  AlertGroup group = Group("firing", {disk, load});
  group.common_labels = {{"team", "storage"}};
  const auto say = AlertTemplate::Parse(
      "{status} ({count}) for {labels.team}: {labels.alertname} on {labels.instance}, "
      "{annotations.summary} {{literally}}. {labels.missing}");
  EXPECT_EQ(say.Render(group),
            "firing (2) for storage: DiskFull on db1, The disk of db1 is full {literally}.");
  // A label the alerts lack is left out with the words that lead to it, not
  // spoken as nothing ("on ."); one that opens a clause takes the words after
  // it.
  const AlertGroup lone = Group("firing", {load});
  EXPECT_EQ(AlertTemplate::Parse("{status}: {labels.alertname} on {labels.instance}. "
                                 "{annotations.summary}")
                .Render(lone),
            "firing: HighLoad.");
  EXPECT_EQ(AlertTemplate::Parse("Alert {status}: {labels.alertname} on {labels.instance}, "
                                 "team {labels.team}. {annotations.description}")
                .Render(lone),
            "Alert firing: HighLoad. Load is 40");
  EXPECT_EQ(
      AlertTemplate::Parse("{labels.instance} is down. Call {labels.alertname}.").Render(lone),
      "Call HighLoad.");
  // Only absent labels: the default text rather than silence.
  EXPECT_EQ(AlertTemplate::Parse("{labels.missing}").Render(Group("firing", {load})),
            "Firing: HighLoad. Load is 40.");
}

TEST(AlertTemplateTest, LabelsCannotBecomeMarkupPlaceholdersOrLongSpeech) {
  Alert evil{"firing",
             {{"alertname", "</Part><Response Button=\"1\"><Message>x"},
              {"note", "{labels.secret}"},
              {"secret", "never said"}},
             {{"summary",
               "line one\nline\x01two\r\n\tthree\xC2\x85"
               "four\xE2\x80\xA8"}},
             "e"};
  const AlertGroup group = Group("firing", {evil});
  // A label is plain text: its markup stays characters, its braces are not
  // read as placeholders, and its control characters are blanks.
  EXPECT_EQ(AlertTemplate::Parse("{labels.note} {annotations.summary}").Render(group),
            "{labels.secret} line one line two three four");
  EXPECT_EQ(AlertTemplate().Render(group),
            "Firing: </Part><Response Button=\"1\"><Message>x. line one line two three four.");
  const std::string long_text(5000, 'a');
  EXPECT_EQ(PlainSpokenText(long_text).size(), kMaxSpokenText);
  EXPECT_EQ(PlainSpokenText("  a \xFF\xFE b \xE2\x82  "), "a b");
  EXPECT_EQ(PlainSpokenText("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xC3\xA9 \xE2\x82\xAC");
}

std::string PayloadError(const std::string& body, AlertSource source) {
  try {
    ParseAlertPayload(body, source);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "accepted";
}

TEST(AlertPayloadTest, NotificationsAreReadAndBadOnesRefusedWithTheReason) {
  const AlertGroup group = ParseAlertPayload(R"({
    "version": "4", "groupKey": "{}:{alertname=\"DiskFull\"}", "status": "firing",
    "receiver": "ringwell", "groupLabels": {"alertname": "DiskFull"},
    "commonLabels": {"alertname": "DiskFull"}, "commonAnnotations": {}, "externalURL": "http://am",
    "truncatedAlerts": 0,
    "alerts": [{"status": "firing", "labels": {"alertname": "DiskFull", "instance": "db1"},
                "annotations": {"summary": "full"}, "startsAt": "2026-12-08T00:00:00Z",
                "endsAt": "0001-01-01T00:00:00Z", "generatorURL": "", "fingerprint": "f1"}]})",
                                             AlertSource::kAlertmanager);
  EXPECT_EQ(group.status, "firing");
  EXPECT_EQ(group.group_key, "{}:{alertname=\"DiskFull\"}");
  ASSERT_EQ(group.alerts.size(), 1u);
  EXPECT_EQ(group.alerts[0].labels.at("instance"), "db1");
  EXPECT_EQ(group.alerts[0].fingerprint, "f1");

  const std::string alert = R"([{"status": "firing", "labels": {"alertname": "A"}}])";
  EXPECT_EQ(PayloadError("{", AlertSource::kAlertmanager).rfind("the payload is not JSON", 0), 0u);
  EXPECT_EQ(PayloadError(
                R"({"version": "3", "groupKey": "k", "status": "firing", "alerts": )" + alert + "}",
                AlertSource::kAlertmanager),
            "version must be \"4\" (Alertmanager's web hook payload), not \"3\"");
  EXPECT_EQ(PayloadError(R"({"version": "4", "status": "firing", "alerts": )" + alert + "}",
                         AlertSource::kAlertmanager),
            "groupKey: missing");
  EXPECT_EQ(PayloadError(R"({"version": "4", "groupKey": "k", "status": "on", "alerts": [] })",
                         AlertSource::kAlertmanager),
            "status: must be \"firing\" or \"resolved\", not \"on\"");
  EXPECT_EQ(PayloadError(R"({"version": "4", "groupKey": "k", "status": "firing", "alerts": []})",
                         AlertSource::kAlertmanager),
            "alerts: the list is empty");
  EXPECT_EQ(PayloadError(R"({"version": "4", "groupKey": "k", "status": "firing",
                             "alerts": [{"status": "firing", "labels": {"n": 1}}]})",
                         AlertSource::kAlertmanager),
            "alerts[0].labels.n: must be a text");
  EXPECT_EQ(PayloadError(R"({"status": "firing", "alerts": )" + alert + "}", AlertSource::kGrafana),
            "accepted");
  EXPECT_EQ(PayloadError(std::string(40, '[') + std::string(40, ']'), AlertSource::kGrafana),
            "the payload nests deeper than 16 levels");
}

class AlertLedgerTest : public ringwell::testing::RingwellTest {};

TEST_F(AlertLedgerTest, GroupsOutliveARestart) {
  const std::string path = scratch() + "alert-groups.json";
  {
    AlertLedger ledger(path);
    std::string problem;
    ASSERT_TRUE(ledger.Load(&problem)) << problem;
    const auto lock = ledger.Lock("alertmanager/oncall", "k");
    EXPECT_TRUE(ledger.Find("alertmanager/oncall", "k").firing.empty());
    ASSERT_TRUE(ledger.Store("alertmanager/oncall", "k", {{"{A}"}, {}, 0, {"f1"}}));
    ASSERT_TRUE(ledger.Store("grafana/oncall", "k", {{"{B}"}, {"{C}"}, 0, {}}));
  }
  AlertLedger again(path);
  std::string problem;
  ASSERT_TRUE(again.Load(&problem)) << problem;
  const auto lock = again.Lock("alertmanager/oncall", "k");
  EXPECT_EQ(again.Find("alertmanager/oncall", "k").firing, std::vector<std::string>{"{A}"});
  EXPECT_EQ(again.Find("alertmanager/oncall", "k").alerts, std::vector<std::string>{"f1"});
  EXPECT_EQ(again.Find("grafana/oncall", "k").resolved, std::vector<std::string>{"{C}"});
  EXPECT_TRUE(again.Find("alertmanager/other", "k").firing.empty());
}

}  // namespace
}  // namespace ringwell::api
