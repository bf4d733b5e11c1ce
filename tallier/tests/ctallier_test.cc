#include "ctallier.h"

#include <gtest/gtest.h>

#include <thread>

#include "ringwell/common/files.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "tallier_test_support.h"

namespace ringwell::tallier {
namespace {

using namespace std::chrono_literals;
using test::Calls;
using test::DefaultRequestAttributes;
using test::kRequestId;
using test::RecipientsXml;
using test::RequestXml;
using test::Statuses;
using testing::EventLogEntry;
using testing::ListDir;
using testing::ReadFile;
using testing::RingwellTest;
using testing::WriteFile;

constexpr char kParameterIncorrect[] = "The parameter is incorrect.";

class CTallierTest : public RingwellTest {
 protected:
  // Most failure tests do not need the full second before the retry.
  ComPtr<CTallier> MakeTallier(std::chrono::milliseconds retry_delay = 5ms) {
    return MakeComObject<CTallier>(retry_delay);
  }
  std::string RequestPath() const { return root() + "Inbox/" + kRequestId + ".xml"; }
  std::string ReportPath() const { return root() + "Reports/" + kRequestId + ".xml"; }

  // Creates the report of a request with these recipients through the tallier.
  void CreateReport(const std::vector<std::string>& numbers) {
    WriteFile(RequestPath(), RequestXml(DefaultRequestAttributes(), RecipientsXml(numbers)));
    ASSERT_EQ(MakeTallier()->CreateNewReport(RequestPath().c_str()), S_OK);
    ClearEventLog();
  }

  // The call failed with `code`, logged one "Error in %1: %2" entry with
  // `operation` and `text`, and left an error object saying the same.
  void ExpectFailure(HRESULT hr, HRESULT code, const std::string& operation,
                     const std::string& text) {
    EXPECT_EQ(hr, code);
    const std::vector<EventLogEntry> entries = EventLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, "Tallier");
    EXPECT_EQ(entries[0].type, "error");
    EXPECT_EQ(entries[0].event_id, 0xC0000001u);
    EXPECT_EQ(entries[0].strings, (std::vector<std::string>{operation, text}));
    const auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->source, "Tallier.Tallier.1");
    EXPECT_EQ(info->description, "Error in " + operation + ": " + text + "\r\n");
    EXPECT_TRUE(info->iid.IsNull());
    ClearEventLog();
  }
};

TEST_F(CTallierTest, CreateNewReportWritesOneSubReportPerNonBlankRecipient) {
  const std::string children =
      RecipientsXml({"5551234", " \t ", " 555 9876 "}) +
      "<AdditionalInfo xmlns=\"urn:example\"><Extra a=\"1\">x<!--kept--></Extra></AdditionalInfo>";
  WriteFile(RequestPath(), RequestXml(DefaultRequestAttributes(), children));
  ASSERT_EQ(MakeTallier()->CreateNewReport(RequestPath().c_str()), S_OK);
  EXPECT_EQ(ReadFile(ReportPath()),
            std::string("<Report xmlns=\"urn:schemas-microsoft-com:xml-data\" "
                        "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" UserID=\"{0}\" ID=\"") +
                kRequestId +
                "\" Type=\"Call\" Status=\"\"><SubReport Recipient=\"5551234\" Status=\"\"/>"
                "<SubReport Recipient=\" 555 9876 \" Status=\"\"/><AdditionalInfo><Extra "
                "a=\"1\">x<!--kept--></Extra></AdditionalInfo></Report>");
  EXPECT_TRUE(EventLogEntries().empty());

  // A second report of the same request replaces the first; without
  // AdditionalInfo the report holds only its sub-reports.
  WriteFile(RequestPath(), RequestXml(DefaultRequestAttributes(), RecipientsXml({"42"})));
  ASSERT_EQ(MakeTallier()->CreateNewReport(RequestPath().c_str()), S_OK);
  xml::Document report;
  ASSERT_EQ(report.Load(ReportPath()), S_OK);
  std::vector<std::string> children_names;
  for (pugi::xml_node child : report.FirstChild().children())
    children_names.push_back(child.name());
  EXPECT_EQ(children_names, std::vector<std::string>{"SubReport"});
  EXPECT_EQ(Statuses(ReportPath()), (std::vector<std::string>{"", ""}));
}

TEST_F(CTallierTest, CreateNewReportFailuresWriteNoReport) {
  auto tallier = MakeTallier();
  const char* op = "CTallier::CreateNewReport";
  ExpectFailure(tallier->CreateNewReport(RequestPath().c_str()), E_INVALIDARG, op,
                "Can't load request file");
  WriteFile(RequestPath(), "<Request ID=\"x\"");
  ExpectFailure(tallier->CreateNewReport(RequestPath().c_str()), E_INVALIDARG, op,
                "Can't load request file");
  ExpectFailure(tallier->CreateNewReport(nullptr), E_INVALIDARG, op, kParameterIncorrect);

  const std::string id = std::string("ID=\"") + kRequestId + "\"";
  for (const std::string& attributes :
       {id + " Type=\"Call\"", std::string("UserID=\"{0}\" Type=\"Call\""),
        id + " UserID=\"{0}\""}) {
    WriteFile(RequestPath(), RequestXml(attributes, RecipientsXml({"555"})));
    ExpectFailure(tallier->CreateNewReport(RequestPath().c_str()), E_INVALIDARG, op,
                  kParameterIncorrect);
  }
  // The root element must be what the file starts with.
  WriteFile(RequestPath(), "<!-- note -->" + RequestXml(DefaultRequestAttributes(), ""));
  ExpectFailure(tallier->CreateNewReport(RequestPath().c_str()), E_INVALIDARG, op,
                kParameterIncorrect);
  EXPECT_TRUE(ListDir(root() + "Reports").empty());

  // An ID that is not a plain file name never becomes a path.
  for (const char* bad_id : {"../Inbox/evil", "..", ""}) {
    WriteFile(RequestPath(), RequestXml(std::string("ID=\"") + bad_id +
                                            "\" UserID=\"{0}\" "
                                            "Type=\"Call\"",
                                        RecipientsXml({"555"})));
    ExpectFailure(tallier->CreateNewReport(RequestPath().c_str()), E_INVALIDARG, op,
                  kParameterIncorrect);
  }
  EXPECT_TRUE(ListDir(root() + "Reports").empty());
  EXPECT_EQ(ListDir(root() + "Inbox"), std::vector<std::string>{std::string(kRequestId) + ".xml"});
  EXPECT_EQ(ListDir(root()), (std::vector<std::string>{"Files", "Inbox", "Reports", "Requests"}));
}

TEST_F(CTallierTest, UpdateStatusAddressesByExactRecipientText) {
  CreateReport({"5551234", "5559876", "5551234", " 5559876"});
  auto tallier = MakeTallier();
  const std::string path = ReportPath();

  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "*", "Processing"), S_OK);
  EXPECT_EQ(Statuses(path), (std::vector<std::string>{"Processing", "Processing", "Processing",
                                                      "Processing", "Processing"}));
  // A shared number sets every sub-report with it, and only those.
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "5551234", "InProgress"), S_OK);
  // Other spellings of a number address nothing.
  for (const char* other : {"555 1234", "5551234 ", "555-1234", "5559876 "}) {
    ASSERT_EQ(tallier->UpdateStatus(path.c_str(), other, "Failed"), S_OK);
  }
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), " 5559876", "Busy"), S_OK);
  // "" sets the report alone.
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "", "InProgress"), S_OK);
  EXPECT_EQ(Statuses(path), (std::vector<std::string>{"InProgress", "InProgress", "Processing",
                                                      "InProgress", "Busy"}));
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "*", "Scheduled"), S_OK);
  EXPECT_EQ(Statuses(path), (std::vector<std::string>{"Scheduled", "Scheduled", "Scheduled",
                                                      "Scheduled", "Scheduled"}));
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(CTallierTest, AddCallResultAppendsACopyToEveryMatchingSubReportInCallOrder) {
  CreateReport({"5551234", "5559876", "5551234"});
  auto tallier = MakeTallier();
  const std::string path = ReportPath();
  const std::string first =
      "<Call xmlns=\"urn:schemas-microsoft-com:xml-data\" "
      "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" Status=\"Busy\" Error=\"\">\n"
      "  <Time xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"dateTime\">"
      "2024-05-01T10:00:00</Time>\n  <Answer xmlns=\"urn:keep\">Busy</Answer>\n"
      "  <Duration dt:dt=\"int\">0</Duration>\n</Call>";
  ASSERT_EQ(tallier->AddCallResult(path.c_str(), "5551234", first.c_str()), S_OK);
  ASSERT_EQ(tallier->AddCallResult(path.c_str(), "5551234", "<Call Status=\"Completed\"/>"), S_OK);

  const std::string first_stored =
      "<Call xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" Status=\"Busy\" Error=\"\"><Time "
      "dt:dt=\"dateTime\">2024-05-01T10:00:00</Time><Answer xmlns=\"urn:keep\">Busy</Answer>"
      "<Duration dt:dt=\"int\">0</Duration></Call>";
  const std::vector<std::string> expected{first_stored, "<Call Status=\"Completed\"/>"};
  EXPECT_EQ(Calls(path, 0), expected);
  EXPECT_EQ(Calls(path, 1), std::vector<std::string>{});
  EXPECT_EQ(Calls(path, 2), expected);

  // A number that matches nothing changes nothing.
  const std::string before = ReadFile(path);
  ASSERT_EQ(tallier->AddCallResult(path.c_str(), "555123", first.c_str()), S_OK);
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(CTallierTest, FailuresLeaveTheReportByteForByte) {
  CreateReport({"5551234", "5559876"});
  auto tallier = MakeTallier();
  const std::string path = ReportPath();
  ASSERT_EQ(tallier->AddCallResult(path.c_str(), "5551234", "<Call Status=\"Busy\"/>"), S_OK);
  const std::string before = ReadFile(path);
  const char* add = "CTallier::AddCallResult";
  const char* update = "CTallier::UpdateStatus";

  struct Case {
    const char* result;
    const char* text;
  };
  for (const Case& c : {
           Case{"<!-- first --><Call Status=\"Busy\"/>", kParameterIncorrect},
           Case{"<Call Status=\"Busy\">text<Time/></Call>", kParameterIncorrect},
           Case{"<Call><Time/><!-- c --></Call>", kParameterIncorrect},
           Case{"<Result Status=\"Busy\"/>", kParameterIncorrect},
           Case{"Busy", "Can't load call result"},
           Case{"<Call>", "Can't load call result"},
       }) {
    SCOPED_TRACE(c.result);
    ExpectFailure(tallier->AddCallResult(path.c_str(), "5551234", c.result), E_INVALIDARG, add,
                  c.text);
    EXPECT_EQ(ReadFile(path), before);
  }
  ExpectFailure(tallier->AddCallResult(path.c_str(), "5551234", nullptr), E_INVALIDARG, add,
                kParameterIncorrect);
  ExpectFailure(tallier->AddCallResult(nullptr, "5551234", "<Call/>"), E_INVALIDARG, add,
                kParameterIncorrect);
  ExpectFailure(tallier->UpdateStatus(path.c_str(), nullptr, "Busy"), E_INVALIDARG, update,
                kParameterIncorrect);
  // A status XML cannot carry fails before anything is saved.
  ExpectFailure(tallier->UpdateStatus(path.c_str(), "*", "Bu\x01sy"), E_INVALIDARG, update,
                kParameterIncorrect);
  EXPECT_EQ(ReadFile(path), before);

  // A report that does not parse is left as it is.
  const std::string broken = before.substr(0, before.size() / 2);
  WriteFile(path, broken);
  ExpectFailure(tallier->UpdateStatus(path.c_str(), "*", "Completed"), E_INVALIDARG, update,
                "Can't load report file");
  ExpectFailure(tallier->AddCallResult(path.c_str(), "5551234", "<Call/>"), E_INVALIDARG, add,
                "Can't load report file");
  EXPECT_EQ(ReadFile(path), broken);

  // A missing report, or one in a directory that does not exist, is not made.
  for (const std::string& missing : {root() + "Reports/{none}.xml", root() + "Nowhere/r.xml"}) {
    ExpectFailure(tallier->UpdateStatus(missing.c_str(), "*", "Completed"), E_INVALIDARG, update,
                  "Can't load report file");
    EXPECT_FALSE(FileExists(missing));
  }
}

TEST_F(CTallierTest, AReportThatAppearsDuringTheWaitIsLoaded) {
  CreateReport({"5551234"});
  const std::string content = ReadFile(ReportPath());
  ASSERT_EQ(std::remove(ReportPath().c_str()), 0);
  std::jthread writer([&] {
    std::this_thread::sleep_for(100ms);
    WriteFileAtomically(ReportPath(), content);
  });
  auto tallier = MakeTallier(CTallier::kRetryDelay);
  EXPECT_EQ(tallier->UpdateStatus(ReportPath().c_str(), "*", "Scheduled"), S_OK);
  writer.join();
  EXPECT_EQ(Statuses(ReportPath()), (std::vector<std::string>{"Scheduled", "Scheduled"}));
}

TEST_F(CTallierTest, UpdatesWaitForTheReportLockAndLoseNothing) {
  CreateReport({"5551234"});
  const std::string path = ReportPath();
  auto tallier = MakeTallier();
  FileLock lock;
  ASSERT_EQ(FileLock::Acquire(path, &lock), S_OK);
  const std::string before = ReadFile(path);
  std::jthread writer([&] {
    EXPECT_EQ(tallier->AddCallResult(path.c_str(), "5551234", "<Call Status=\"Busy\"/>"), S_OK);
  });
  // Another writer (as the toolkit's cancellation does) changes the report
  // while it holds the lock; the tallier must wait and build on that change.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ReadFile(path), before);
  xml::Document report;
  ASSERT_EQ(report.LoadXml(before), S_OK);
  report.FirstChild().attribute("Status").set_value("Canceled");
  ASSERT_EQ(report.Save(path), S_OK);
  lock.Release();
  writer.join();
  EXPECT_EQ(Statuses(path), (std::vector<std::string>{"Canceled", ""}));
  EXPECT_EQ(Calls(path, 0), std::vector<std::string>{"<Call Status=\"Busy\"/>"});
}

TEST_F(CTallierTest, MissingConfigurationIsLoggedAndReportsCannotBeWritten) {
  DeleteConfigKey();
  auto tallier = MakeTallier();
  EXPECT_EQ(tallier->root(), "/");
  const std::vector<EventLogEntry> entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 2u);
  for (const EventLogEntry& entry : entries) {
    EXPECT_EQ(entry.source, "Tallier");
    EXPECT_EQ(entry.event_id, 0xC0000002u);
  }
  EXPECT_EQ(entries[0].strings,
            std::vector<std::string>{"Failed open kegistry key: SOFTWARE\\Corvane\\Ringwell"});
  EXPECT_EQ(entries[1].text, "Registry Error: Registry value for key 'RootDir' not found\r\n");
  ClearEventLog();

  WriteFile(RequestPath(), RequestXml(DefaultRequestAttributes(), RecipientsXml({"555"})));
  const HRESULT hr = tallier->CreateNewReport(RequestPath().c_str());
  ExpectFailure(hr, HresultFromWin32(ERROR_PATH_NOT_FOUND), "CTallier::CreateNewReport",
                ErrorText(hr));
}

}  // namespace
}  // namespace ringwell::tallier
