#include "ctallier.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "ringwell/common/directory_lock.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/unique_fd.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/locks.h"
#include "ringwell/testing/xml_tree.h"

namespace ringwell::tallier {
namespace {

using namespace std::chrono_literals;
using testing::ElementTree;
using testing::ReadFile;
using testing::SomeoneWaitsToLock;
using testing::WriteFile;
using Strings = std::vector<std::string>;

constexpr char kId[] = "{6F1C2B3A-0D4E-4F5A-9B8C-7D6E5F4A3B2C}";
constexpr char kCreate[] = "CTallier::CreateNewReport";
constexpr char kUpdate[] = "CTallier::UpdateStatus";
constexpr char kAdd[] = "CTallier::AddCallResult";
constexpr char kIncorrect[] = "The parameter is incorrect.";
constexpr char kCantLoadReport[] = "Can't load report file";
// A call result as the lines return it, at its least.
constexpr char kCall[] =
    "<Call Status=\"Busy\"><Time dt:dt=\"dateTime\">2024-05-01T10:00:00</Time></Call>";

std::string WithId(const std::string& id) {
  return "ID=\"" + id + "\" UserID=\"{0}\" Type=\"Call\"";
}

// A request as the toolkit writes it: one Recipient per number, `attributes`
// on Request and `extra` after the Recipients.
std::string RequestXml(const Strings& numbers, const std::string& attributes = WithId(kId),
                       const std::string& extra = "") {
  std::string xml =
      "<Request xmlns=\"urn:schemas-microsoft-com:xml-data\" "
      "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" " +
      attributes + "><Recipients>";
  for (const std::string& number : numbers) {
    xml += "<Recipient dt:dt=\"string\">" + number + "</Recipient>";
  }
  return xml + "</Recipients>" + extra + "<NumberOfRings dt:dt=\"int\">7</NumberOfRings></Request>";
}

// Tells when the file `path` has been opened for reading and closed again
// (inotify on its directory), from the moment the object is made.
class ReadWatch {
 public:
  explicit ReadWatch(const std::string& path)
      : name_(BaseNameOf(path)), fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    EXPECT_GE(::inotify_add_watch(fd_.get(), DirectoryOf(path).c_str(), IN_CLOSE_NOWRITE), 0);
  }
  // Waits for such a read; false when none came within `deadline`.
  bool Wait(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
      pollfd ready{.fd = fd_.get(), .events = POLLIN, .revents = 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      alignas(inotify_event) char buffer[4096];
      const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && name_ == event->name) return true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return false;
  }

 private:
  std::string name_;
  UniqueFd fd_;
};

class CTallierTest : public testing::RingwellTest {
 protected:
  // Most tests do not need the full second before the retry.
  ComPtr<CTallier> MakeTallier(std::chrono::milliseconds retry_delay = 5ms) {
    return MakeComObject<CTallier>(retry_delay);
  }
  std::string ReportPath() const { return root() + "Reports/" + kId + ".xml"; }
  void CreateReport(const Strings& numbers, const std::string& extra = "") {
    WriteFile(root() + "Inbox/r.xml", RequestXml(numbers, WithId(kId), extra));
    ASSERT_EQ(MakeTallier()->CreateNewReport((root() + "Inbox/r.xml").c_str()), S_OK);
  }

  // The Status of the report, then of each sub-report.
  Strings Statuses(const std::string& path) const {
    xml::Document report;
    EXPECT_EQ(report.Load(path), S_OK);
    Strings statuses{report.FirstChild().attribute("Status").value()};
    for (pugi::xml_node sub : xml::ElementsByName(report.dom(), "SubReport")) {
      statuses.emplace_back(sub.attribute("Status").value());
    }
    return statuses;
  }
  Strings Statuses() const { return Statuses(ReportPath()); }
  // The report's SubReport elements as parsed, each as its ElementTree.
  std::string SubReports() const {
    xml::Document report;
    EXPECT_EQ(report.Load(ReportPath()), S_OK);
    std::string trees;
    for (pugi::xml_node sub : xml::ElementsByName(report.dom(), "SubReport")) {
      trees += ElementTree(sub);
    }
    return trees;
  }
  // The same for elements written out.
  static std::string Trees(std::initializer_list<std::string> elements) {
    std::string trees;
    for (const std::string& element : elements) trees += ElementTree(element);
    return trees;
  }
  // Every file below the storage root with its content (lock files aside).
  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root())) {
      if (entry.is_regular_file() && entry.path().extension() != ".lock") {
        files[entry.path()] = ReadFile(entry.path());
      }
    }
    return files;
  }

  // `call` fails with E_INVALIDARG, changes no file, logs one "Error in %1:
  // %2" entry with `operation` and `text` about the file `path` and leaves an
  // error object saying so.
  void ExpectFailure(const std::function<HRESULT()>& call, const std::string& operation,
                     const std::string& text, const std::string& path) {
    const auto files = Files();
    ClearEventLog();
    EXPECT_EQ(call(), E_INVALIDARG);
    EXPECT_EQ(Files(), files);
    const auto entries = EventLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, "Tallier");
    EXPECT_EQ(entries[0].event_id, 0xC0000001u);
    EXPECT_EQ(entries[0].strings, (Strings{operation, text}));
    EXPECT_EQ(entries[0].path, path);
    const auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->source, "Tallier.Tallier.1");
    EXPECT_EQ(info->description, "Error in " + operation + ": " + text + "\r\n");
  }
};

TEST_F(CTallierTest, CreateNewReportWritesOneSubReportPerNonBlankRecipient) {
  CreateReport({"5551234", " \t ", " 555 9876 "},
               "<AdditionalInfo xmlns=\"urn:example\"><Extra a=\"1\">x<!--kept--></Extra>"
               "</AdditionalInfo>");
  // The file starts with its root element, which holds the attributes in
  // their order, the sub-reports and the additional information.
  const std::string report = ReadFile(ReportPath());
  EXPECT_TRUE(report.starts_with("<Report ")) << report;
  EXPECT_EQ(ElementTree(report),
            ElementTree(std::string(R"(<Report xmlns="urn:schemas-microsoft-com:xml-data"
                                         xmlns:dt="urn:schemas-microsoft-com:datatypes"
                                         UserID="{0}" ID=")") +
                        kId + R"(" Type="Call" Status="">
                 <SubReport Recipient="5551234" Status=""/>
                 <SubReport Recipient=" 555 9876 " Status=""/>
                 <AdditionalInfo><Extra a="1">x<!--kept--></Extra></AdditionalInfo>
               </Report>)"));
  EXPECT_TRUE(EventLogEntries().empty());
  // A new report of the same request replaces the old one.
  CreateReport({"42"});
  EXPECT_EQ(Statuses(), (Strings{"", ""}));
}

TEST_F(CTallierTest, UpdateStatusAddressesByExactRecipientText) {
  CreateReport({"5551234", "5559876", "5551234", " 5559876"});
  auto tallier = MakeTallier();
  const std::string path = ReportPath();
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "*", "Processing"), S_OK);
  EXPECT_EQ(Statuses(), Strings(5, "Processing"));
  // A shared number sets every sub-report with it; other spellings of a
  // number address nothing; "" sets the report alone.
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "5551234", "InProgress"), S_OK);
  for (const char* other : {"555 1234", "5551234 ", "555-1234", "5559876 "}) {
    ASSERT_EQ(tallier->UpdateStatus(path.c_str(), other, "Failed"), S_OK);
  }
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), " 5559876", "Busy"), S_OK);
  ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "", "Done"), S_OK);
  EXPECT_EQ(Statuses(), (Strings{"Done", "InProgress", "Processing", "InProgress", "Busy"}));
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(CTallierTest, AddCallResultAppendsACopyToEveryMatchingSubReportInCallOrder) {
  CreateReport({"5551234", "5559876", "5551234"});
  auto tallier = MakeTallier();
  const std::string path = ReportPath();
  const char* busy =
      "<Call xmlns=\"urn:schemas-microsoft-com:xml-data\" "
      "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" Status=\"Busy\">\n  <Time "
      "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"dateTime\">2024-05-01T10:00:00"
      "</Time>\n  <Answer xmlns=\"urn:keep\">Busy</Answer>\n</Call>";
  for (const char* recipient : {"5551234", "555123"}) {  // the second matches no one
    ASSERT_EQ(tallier->AddCallResult(path.c_str(), recipient, busy), S_OK);
  }
  ASSERT_EQ(tallier->AddCallResult(path.c_str(), "5551234", kCall), S_OK);
  // xmlns goes from the Call element and xmlns:dt from its children.
  const std::string calls = R"(
      <Call xmlns:dt="urn:schemas-microsoft-com:datatypes" Status="Busy">
        <Time dt:dt="dateTime">2024-05-01T10:00:00</Time>
        <Answer xmlns="urn:keep">Busy</Answer>
      </Call>)" + std::string(kCall);
  EXPECT_EQ(SubReports(),
            Trees({R"(<SubReport Recipient="5551234" Status="">)" + calls + "</SubReport>",
                   R"(<SubReport Recipient="5559876" Status=""/>)",
                   R"(<SubReport Recipient="5551234" Status="">)" + calls + "</SubReport>"}));
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(CTallierTest, FailuresAreReportedAndChangeNoFile) {
  CreateReport({"5551234", "5559876"});
  auto tallier = MakeTallier();
  const std::string report = ReportPath();
  ASSERT_EQ(tallier->AddCallResult(report.c_str(), "5551234", kCall), S_OK);
  auto add = [&](const char* result) {
    return [&, result] { return tallier->AddCallResult(report.c_str(), "5551234", result); };
  };
  auto update = [&](const std::string& path, const char* recipient, const char* status) {
    return [&, path, recipient, status] {
      return tallier->UpdateStatus(path.c_str(), recipient, status);
    };
  };
  int requests = 0;  // each request gets its own file; "" leaves it missing
  auto create = [&](const std::string& content) {
    const std::string file = root() + "Inbox/" + std::to_string(++requests) + ".xml";
    if (!content.empty()) WriteFile(file, content);
    return [&, file] { return tallier->CreateNewReport(file.c_str()); };
  };
  const std::string id = std::string("ID=\"") + kId + "\"";
  // What the event says, and the file it concerns beside it.
  using Said = std::pair<std::string, std::string>;
  auto on = [](const std::string& file, const std::string& what) { return Said{what, file}; };
  auto cant = [](const std::string& what, const std::string& file) { return Said{what, file}; };
  auto request = [&](int n) { return root() + "Inbox/" + std::to_string(n) + ".xml"; };
  const std::string none = root() + "Reports/{none}.xml";
  const std::string nowhere = root() + "Nowhere/r.xml";
  const struct {
    const char* operation;
    std::function<HRESULT()> call;
    Said said;
  } cases[] = {
      {kAdd, add("<!-- first --><Call Status=\"Busy\"/>"), on(report, kIncorrect)},
      {kAdd, add("<Call Status=\"Busy\">text<Time/></Call>"), on(report, kIncorrect)},
      {kAdd, add("<Result Status=\"Busy\"/>"), on(report, kIncorrect)},
      {kAdd, add("<Call>"), cant("Can't load call result", report)},
      {kAdd, add(nullptr), on(report, kIncorrect)},
      {kUpdate, update(report, nullptr, "Busy"), on(report, kIncorrect)},
      // XML cannot carry it.
      {kUpdate, update(report, "*", "Bu\x01sy"),
       on(report, kIncorrect + std::string(" The status is not XML text."))},
      {kUpdate, update(report, "*", "Bu\xC3sy"),
       on(report, kIncorrect + std::string(" The status is not XML text."))},
      // A missing report, or one in a directory that does not exist, is not made.
      {kUpdate, update(none, "*", "Busy"), cant(kCantLoadReport, none)},
      {kUpdate, update(nowhere, "*", "Busy"), cant(kCantLoadReport, nowhere)},
      {kCreate, [&] { return tallier->CreateNewReport(nullptr); }, on("", kIncorrect)},
      {kCreate, create(""), cant("Can't load request file", request(1))},
      {kCreate, create("<Request ID=\"x\""), cant("Can't load request file", request(2))},
      {kCreate, create(RequestXml({"555"}, id + " Type=\"Call\"")), on(request(3), kIncorrect)},
      {kCreate, create(RequestXml({"555"}, "UserID=\"{0}\" Type=\"Call\"")),
       on(request(4), kIncorrect)},
      {kCreate, create(RequestXml({"555"}, id + " UserID=\"{0}\"")), on(request(5), kIncorrect)},
      // The root element must be what the file starts with.
      {kCreate, create("<!-- note -->" + RequestXml({"555"})), on(request(6), kIncorrect)},
      // An ID that is not a plain file name never becomes a path.
      {kCreate, create(RequestXml({"555"}, WithId("../Inbox/evil"))), on(request(7), kIncorrect)},
      {kCreate, create(RequestXml({"555"}, WithId(".."))), on(request(8), kIncorrect)},
      {kCreate, create(RequestXml({"555"}, WithId(""))), on(request(9), kIncorrect)},
      // A recipient the report could not carry.
      {kCreate,
       create(RequestXml({"55\xFF"
                          "5"})),
       on(request(10), kIncorrect + std::string(" The Recipient is not XML text."))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    ExpectFailure(c.call, c.operation, c.said.first, c.said.second);
  }
  // A report that does not parse is left as it is.
  WriteFile(report, ReadFile(report).substr(0, 100));
  ExpectFailure(update(report, "*", "Done"), kUpdate, kCantLoadReport, report);
  ExpectFailure(add(kCall), kAdd, kCantLoadReport, report);
}

// A report that does not load (here: half written) is loaded once more after
// the retry delay; the whole report that another writer saved meanwhile is
// the one updated.
TEST_F(CTallierTest, AReportThatDoesNotLoadAtFirstIsLoadedOnTheRetry) {
  CreateReport({"5551234"});
  const std::string content = ReadFile(ReportPath());
  WriteFile(ReportPath(), content.substr(0, content.size() / 2));
  ReadWatch reads(ReportPath());
  std::jthread updater(
      [&] { EXPECT_EQ(MakeTallier(3s)->UpdateStatus(ReportPath().c_str(), "*", "Busy"), S_OK); });
  // The first load has read the half report; the whole one comes before the retry.
  ASSERT_TRUE(reads.Wait(60s));
  ASSERT_EQ(WriteFileAtomically(ReportPath(), content), S_OK);
  updater.join();
  EXPECT_EQ(Statuses(), (Strings{"Busy", "Busy"}));
}

// Another writer (as the toolkit's cancellation does) changes the report
// while it holds the lock; the tallier must wait and build on that change.
TEST_F(CTallierTest, UpdatesWaitForTheReportLockAndLoseNothing) {
  CreateReport({"5551234"});
  const std::string path = ReportPath();
  DirectoryLock lock;
  ASSERT_EQ(DirectoryLock::Acquire(path, &lock), S_OK);
  std::string report = ReadFile(path);
  std::jthread writer([&, tallier = MakeTallier()] {
    EXPECT_EQ(tallier->AddCallResult(path.c_str(), "5551234", kCall), S_OK);
  });
  // The tallier waits for the lock, with the report untouched.
  const std::string lock_file = DirectoryLock::LockPathFor(path);
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!SomeoneWaitsToLock(lock_file) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(SomeoneWaitsToLock(lock_file));
  EXPECT_EQ(ReadFile(path), report);
  WriteFileAtomically(path, report.replace(report.find("Status=\"\""), 9, "Status=\"Canceled\""));
  lock.Release();
  writer.join();
  EXPECT_EQ(Statuses(), (Strings{"Canceled", ""}));
  EXPECT_EQ(SubReports(), Trees({R"(<SubReport Recipient="5551234" Status="">)" +
                                 std::string(kCall) + "</SubReport>"}));
}

// Call results that would leave a report no reader can load are refused and
// named in the event; the report stays as it was.
TEST_F(CTallierTest, CallResultsThatWouldMakeTheReportUnreadableAreRefused) {
  CreateReport({"5551234"});
  auto tallier = MakeTallier();
  const std::string path = ReportPath();
  const std::string time = "<Time dt:dt=\"dateTime\">2024-05-01T10:00:00</Time>";
  const struct {
    std::string result, reason;
  } refused[] = {
      {"<Call Status=\"Completed\"><Answer>Answered</Answer></Call>", "no Time with a date"},
      {"<Call><Time>yesterday</Time></Call>", "no Time with a date"},
      {"<Call>" + time + "<Duration>12.5s</Duration></Call>", "a Duration that is not an integer"},
      {"<Call>" + time + "</Call><Call>" + time + "</Call>", "more than one root"},
      {"<Call Status=\"&#1;\">" + time + "</Call>",
       "characters XML cannot carry in the attribute Status"},
      {"<Call>" + time + "<Answer>&#27;[0m</Answer></Call>",
       "characters XML cannot carry in the text of Answer"},
      {"<Call Status=\"\xC3\x28\">" + time + "</Call>",
       "characters XML cannot carry in the attribute Status"},
      {"<Call>" + time + "<Answer>\xED\xA0\x80</Answer></Call>",
       "characters XML cannot carry in the text of Answer"},
      {"<Call Status=\"a\" Status=\"b\">" + time + "</Call>", "the attribute Status twice"},
      {"<Call q:a=\"1\">" + time + "</Call>", "the undeclared namespace prefix q"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.result);
    ExpectFailure([&] { return tallier->AddCallResult(path.c_str(), "5551234", c.result.c_str()); },
                  kAdd, kIncorrect + std::string(" Call result refused: it has ") + c.reason + ".",
                  path);
  }
  // What a reader can load is kept: tabs, line breaks, any character, a
  // namespace declared inside the call, a typed Duration.
  const std::string kept = "<Call Status=\"Zu\xCC\x88rich\t\">" + time +
                           "<Protocol>a\nb &#x1F4DE;</Protocol><q:x xmlns:q=\"urn:q\"/>"
                           "<Duration dt:dt=\"int\">12</Duration></Call>";
  ClearEventLog();
  EXPECT_EQ(tallier->AddCallResult(path.c_str(), "5551234", kept.c_str()), S_OK);
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(CTallierTest, ChangesApplyInOneSaveAndARefusedOneLeavesTheOthers) {
  CreateReport({"5551234", "5559876"});
  auto tallier = MakeTallier();
  const std::string path = ReportPath();
  const ReportChange start[] = {{ReportChange::kStatus, "5551234", "InProgress"},
                                {ReportChange::kStatus, "", "InProgress"}};
  ASSERT_EQ(tallier->ApplyChanges(path.c_str(), start, 2), S_OK);
  EXPECT_EQ(Statuses(), (Strings{"InProgress", "InProgress", ""}));
  const ReportChange end[] = {{ReportChange::kCallResult, "5551234", "<Call Status=\"Busy\"/>"},
                              {ReportChange::kStatus, "5551234", "Scheduled"},
                              {ReportChange::kCallResult, "5559876", kCall}};
  EXPECT_EQ(tallier->ApplyChanges(path.c_str(), end, 3), E_INVALIDARG);
  EXPECT_EQ(Statuses(), (Strings{"InProgress", "Scheduled", ""}));
  EXPECT_EQ(SubReports(), Trees({R"(<SubReport Recipient="5551234" Status="Scheduled"/>)",
                                 R"(<SubReport Recipient="5559876" Status="">)" +
                                     std::string(kCall) + "</SubReport>"}));
  const auto events = EventLogEntries();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings,
            (Strings{kAdd, kIncorrect + std::string(" Call result refused: it has no Time with a "
                                                    "date.")}));
  EXPECT_EQ(events[0].path, path);
}

// The request as scheduled is kept in its report: the window and each part's
// text or recording, with the keys that lead to it; a second record replaces
// the first, and a text that is no request changes nothing.
TEST_F(CTallierTest, ARequestRecordKeepsTheWindowAndEveryPart) {
  CreateReport({"5551234"});
  auto tallier = MakeTallier();
  const std::string path = ReportPath();
  const std::string scheduled =
      "<Request " + WithId(kId) +
      "><StartTime dt:dt=\"dateTime\">2026-12-07T18:00:00</StartTime>"
      "<StopTime dt:dt=\"dateTime\">2026-12-07T20:00:00</StopTime>"
      "<AdditionalInfo><MessagePart Type=\"Text\">not said</MessagePart></AdditionalInfo>"
      "<CallTree><Message><MessagePart Type=\"File\" SpokenText=\"Disk &amp; CPU\">"
      "wavA3uacV.wav</MessagePart><MessagePart Type=\"File\">greeting.wav</MessagePart></Message>"
      "<Responses><Response Button=\"1\"><Message><MessagePart Type=\"File\" "
      "SpokenText=\"Thanks\">wavB.wav</MessagePart></Message><Responses><Response Button=\"#\">"
      "<Message><MessagePart Type=\"Text\">Bye</MessagePart></Message></Response></Responses>"
      "</Response></Responses></CallTree></Request>";
  const ReportChange record[] = {{ReportChange::kRequestRecord, "", scheduled.c_str()},
                                 {ReportChange::kStatus, "*", "Scheduled"}};
  ASSERT_EQ(tallier->ApplyChanges(path.c_str(), record, 2), S_OK);
  ASSERT_EQ(tallier->ApplyChanges(path.c_str(), record, 1), S_OK);  // replaces, never adds
  const std::string expected = R"(<RequestRecord StartTime="2026-12-07T18:00:00"
                                     StopTime="2026-12-07T20:00:00">
      <Part Keys="" Type="Text" File="wavA3uacV.wav">Disk &amp; CPU</Part>
      <Part Keys="" Type="File" File="greeting.wav">greeting.wav</Part>
      <Part Keys="1" Type="Text" File="wavB.wav">Thanks</Part>
      <Part Keys="1 #" Type="Text">Bye</Part></RequestRecord>)";
  pugi::xml_document report;
  ASSERT_TRUE(report.load_file(path.c_str()));
  EXPECT_EQ(ElementTree(report.first_child().child("RequestRecord")), ElementTree(expected));
  // Sub-reports and statuses are as before; the record comes last.
  EXPECT_EQ(Statuses(), (Strings{"Scheduled", "Scheduled"}));
  EXPECT_STREQ(report.first_child().last_child().name(), "RequestRecord");
  EXPECT_TRUE(EventLogEntries().empty());

  const ReportChange broken{ReportChange::kRequestRecord, "", "<Request"};
  ExpectFailure([&] { return tallier->ApplyChanges(path.c_str(), &broken, 1); }, kUpdate,
                kIncorrect, path);
}

// One lock file serves every report of the directory, and a report another
// writer replaced is read again even when its size did not change.
TEST_F(CTallierTest, OneLockFileForAllReportsAndOtherWritersChangesAreSeen) {
  auto tallier = MakeTallier();
  for (const char* id : {"a", "b", "c"}) {
    WriteFile(root() + "Inbox/r.xml", RequestXml({"5551234"}, WithId(id)));
    ASSERT_EQ(tallier->CreateNewReport((root() + "Inbox/r.xml").c_str()), S_OK);
    const std::string path = root() + "Reports/" + id + ".xml";
    ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "*", "Busy"), S_OK);
    std::string text = ReadFile(path);
    WriteFileAtomically(path, text.replace(text.find("Busy"), 4, "Done"));
    ASSERT_EQ(tallier->UpdateStatus(path.c_str(), "5551234", "Sent"), S_OK);
    EXPECT_EQ(Statuses(path), (Strings{"Done", "Sent"}));
  }
  EXPECT_EQ(testing::ListDir(root() + "Reports"), (Strings{".lock", "a.xml", "b.xml", "c.xml"}));
}

}  // namespace
}  // namespace ringwell::tallier
