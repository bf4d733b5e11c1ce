// GetReport and CancelRequest: the snapshot tree of report, sub-reports and
// calls with the defaults for what a report file leaves out, which statuses a
// cancel changes, the refusals and failures with their messages, and
// cancellation while the report generator in another process keeps updating
// the same report. (A report written by the real report generator is read
// back in kel-cli/tests.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "kel_service.h"
#include "kel_test_util.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/directory_lock.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/xml.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/locks.h"
#include "ringwell/testing/process.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;
using testing::ReadFile;
using testing::WriteFile;

constexpr char kId[] = "{8E2B7C41-6A3D-4F90-B1C2-D3E4F5A6B7C8}";
constexpr char kScheduled[] = "<SubReport Recipient=\"1\" Status=\"Scheduled\"/>";

template <class Member, class Collection>
std::vector<ComPtr<Member>> Items(Collection* collection) {
  std::int32_t count = 0;
  EXPECT_EQ(collection->get_Count(&count), S_OK);
  std::vector<ComPtr<Member>> members(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    EXPECT_EQ(collection->get_Item(Variant(i), members[i].Put()), S_OK);
  }
  return members;
}

// The whole snapshot as text: "status|type|additional info", then a line
// "recipient|status" per sub-report, each followed by a line
// "time|duration|answer|protocol|status|error" per call. (Every getter must
// succeed: a failure code has its top bit set.)
std::string Dump(IKelReport* report) {
  std::string status, info;
  EKelRequestType type = kelPageRequest;
  ComPtr<IKelSubReports> sub_reports;
  EXPECT_EQ(report->get_Status(&status) | report->get_Type(&type) |
                report->get_AdditionalInfo(&info) | report->get_SubReports(sub_reports.Put()),
            S_OK);
  std::string text = status + "|" + std::to_string(type) + "|" + info;
  for (const auto& sub_report : Items<IKelSubReport>(sub_reports.Get())) {
    std::string recipient;
    ComPtr<IKelCalls> calls;
    EXPECT_EQ(sub_report->get_Recipient(&recipient) | sub_report->get_Status(&status) |
                  sub_report->get_Calls(calls.Put()),
              S_OK);
    text += "\n" + recipient + "|" + status;
    for (const auto& call : Items<IKelCall>(calls.Get())) {
      OleDate time = 0;
      std::int32_t duration = 0;
      std::string answer, protocol, error;
      EXPECT_EQ(call->get_Time(&time) | call->get_Duration(&duration) | call->get_Answer(&answer) |
                    call->get_Protocol(&protocol) | call->get_Status(&status) |
                    call->get_Error(&error),
                S_OK);
      text += "\n  " + OleDateToIso(time) + "|" + std::to_string(duration) + "|" + answer + "|" +
              protocol + "|" + status + "|" + error;
    }
  }
  return text;
}

// The Status of the report followed by that of each sub-report, "|"-separated.
std::string Statuses(const std::string& report_path) {
  xml::Document document;
  EXPECT_EQ(document.Load(report_path), S_OK);
  std::string statuses = document.FirstChild().attribute("Status").value();
  for (pugi::xml_node sub_report : xml::ElementsByName(document.FirstChild(), "SubReport")) {
    statuses += std::string("|") + sub_report.attribute("Status").value();
  }
  return statuses;
}

class KelReportAccessTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    UseStore(root());
  }
  // Points the service at `store` (ending with "/").
  void UseStore(const std::string& store) {
    store_ = store;
    service_ = ComPtr<IKelService>(MakeComObject<CKelService>(std::chrono::milliseconds(1)).Get());
    ASSERT_EQ(service_->put_Location(store.c_str()), S_OK);
  }
  std::string RequestPath() const { return store_ + "Requests/" + kId + ".xml"; }
  std::string ReportPath() const { return store_ + "Reports/" + kId + ".xml"; }
  // A scheduled request with a report holding `sub_reports`.
  void Schedule(const std::string& sub_reports) {
    WriteFile(RequestPath(), "<Request/>");
    WriteFile(ReportPath(), std::string("<Report xmlns=\"urn:schemas-microsoft-com:xml-data\" ") +
                                "ID=\"" + kId + "\" Type=\"Call\" Status=\"Scheduled\">" +
                                sub_reports + "</Report>");
  }
  std::string Loaded() {
    ComPtr<IKelReport> report;
    EXPECT_EQ(service_->GetReport(kId, report.Put()), S_OK);
    return report ? Dump(report.Get()) : "<none>";
  }

  std::string store_;
  ComPtr<IKelService> service_;
};

TEST_F(KelReportAccessTest, AReportFileBecomesATreeOfSnapshots) {
  WriteFile(
      ReportPath(),
      "<Report xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" Type=\"Page\" "
      "Status=\"InProgress\"><SubReport Recipient=\"5551\" Status=\"Completed\">"
      "<Call Status=\"Completed\" Error=\"none\"><Time dt:dt=\"dateTime\">2024-03-01T10:30:15"
      "</Time><Answer>Human</Answer><Protocol>1 9</Protocol><Duration dt:dt=\"int\">42</Duration>"
      "</Call><Call Status=\"Busy\"><Time>2024-03-01T10:20:00</Time><Duration>-1</Duration></Call>"
      "</SubReport><SubReport Recipient=\"5552 \" Status=\"Scheduled\"/>"
      "<AdditionalInfo><Order No=\"7\"><Item>a&amp;b</Item></Order></AdditionalInfo></Report>");
  ComPtr<IKelReport> report;
  ASSERT_EQ(service_->GetReport(kId, report.Put()), S_OK);
  EXPECT_EQ(Dump(report.Get()),
            "InProgress|1|<Order No=\"7\"><Item>a&amp;b</Item></Order>\n"
            "5551|Completed\n"
            "  2024-03-01T10:30:15|42|Human|1 9|Completed|none\n"
            "  2024-03-01T10:20:00|-1|||Busy|\n"
            "5552 |Scheduled");

  // Recipients are found by their exact text.
  ComPtr<IKelSubReport> found;
  std::string recipient;
  EXPECT_EQ(report->FindSubReport("5552 ", found.Put()), S_OK);
  EXPECT_EQ(found->get_Recipient(&recipient), S_OK);
  EXPECT_EQ(recipient, "5552 ");
  EXPECT_EQ(report->FindSubReport("5552", found.Put()), S_FALSE);
  EXPECT_FALSE(found);

  // What a report leaves out reads as empty, -1 or the default type.
  WriteFile(ReportPath(),
            "<Report Type=\"Unknown\"><SubReport><Call><Time>2024-03-01T08:00:00</Time></Call>"
            "</SubReport><AdditionalInfo>a&amp;b&lt;c</AdditionalInfo></Report>");
  EXPECT_EQ(Loaded(), "|0|a&amp;b&lt;c\n|\n  2024-03-01T08:00:00|-1||||");
  WriteFile(ReportPath(), "<Report><AdditionalInfo/></Report>");
  EXPECT_EQ(Loaded(), "|0|");
}

TEST_F(KelReportAccessTest, ACallTellsWhoAnsweredAndPassesOverElementsItDoesNotKnow) {
  WriteFile(ReportPath(),
            "<Report Type=\"Call\"><SubReport Recipient=\"1\">"
            "<Call Status=\"Completed\"><Time>2024-03-01T08:00:00</Time><Answer>Answered</Answer>"
            "<Protocol>Played a.wav</Protocol><Duration>9</Duration>"
            "<AnsweredBy>Machine</AnsweredBy><SipReply Code=\"200\">OK</SipReply>"
            "<Later Kind=\"x\"><Deeper>text</Deeper></Later></Call>"
            "<Call Status=\"Busy\"><Time>2024-03-01T09:00:00</Time><Answer>Busy</Answer></Call>"
            "</SubReport></Report>");
  ComPtr<IKelReport> report;
  ASSERT_EQ(service_->GetReport(kId, report.Put()), S_OK);
  EXPECT_EQ(Dump(report.Get()),
            "|0|\n1|\n  2024-03-01T08:00:00|9|Answered|Played a.wav|Completed|\n"
            "  2024-03-01T09:00:00|-1|Busy||Busy|");
  ComPtr<IKelSubReports> sub_reports;
  ASSERT_EQ(report->get_SubReports(sub_reports.Put()), S_OK);
  ComPtr<IKelCalls> calls;
  ASSERT_EQ(Items<IKelSubReport>(sub_reports.Get())[0]->get_Calls(calls.Put()), S_OK);
  std::vector<std::string> answered_by;
  for (const auto& call : Items<IKelCall>(calls.Get())) {
    ComPtr<IKelCall2> call2;
    ASSERT_EQ(call.As(&call2), S_OK);
    EXPECT_EQ(call2->get_AnsweredBy(nullptr), E_INVALIDARG);
    ASSERT_EQ(call2->get_AnsweredBy(&answered_by.emplace_back()), S_OK);
  }
  EXPECT_EQ(answered_by, (std::vector<std::string>{"Machine", ""}));
}

TEST_F(KelReportAccessTest, ACallWithoutTimeOrWithANonNumericDurationIsACaughtFailure) {
  for (const std::string call : {"<Call Status=\"Busy\"><Duration>5</Duration></Call>",
                                 "<Call><Time>2024-03-01T08:00:00</Time><Duration>five</Duration>"
                                 "</Call>"}) {
    SCOPED_TRACE(call);
    ClearEventLog();
    WriteFile(ReportPath(), "<Report><SubReport Recipient=\"1\">" + call + "</SubReport></Report>");
    ComPtr<IKelReport> report;
    EXPECT_EQ(service_->GetReport(kId, report.Put()), E_INVALIDARG);
    EXPECT_FALSE(report);
    EXPECT_EQ(TakeError(),
              "Kel.KelCall.1: Error in CKelCall::DeXMLize: " + ErrorText(E_INVALIDARG) + "\r\n");
    const auto entries = EventLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].event_id, kel_msg::kErrorIn);
    EXPECT_EQ(entries[0].strings[0], "CKelCall::DeXMLize");
  }
}

TEST_F(KelReportAccessTest, CancelMarksTheReportAndOnlyItsScheduledSubReports) {
  Schedule(
      "<SubReport Recipient=\"1\" Status=\"Scheduled\"/>"
      "<SubReport Recipient=\"2\" Status=\"scheduled\"/>"
      "<SubReport Recipient=\"3\" Status=\"InProgress\"><Call Status=\"Busy\"/></SubReport>"
      "<SubReport Recipient=\"4\" Status=\"Failed\"/>");
  ASSERT_EQ(service_->CancelRequest(kId), S_OK);
  EXPECT_EQ(Statuses(ReportPath()), "Canceled|Canceled|Canceled|InProgress|Failed");
  EXPECT_FALSE(FileExists(RequestPath()));

  // Nothing is scheduled any more: a second cancel changes nothing.
  const std::string canceled = ReadFile(ReportPath());
  EXPECT_EQ(service_->CancelRequest(kId), S_FALSE);
  EXPECT_EQ(ReadFile(ReportPath()), canceled);
  EXPECT_TRUE(EventLogEntries().empty());
}

// The cancel holds the report generator's lock from its load to its save:
// while another writer (a line booking a call) holds it, the cancel waits,
// its lock request queued in the kernel, and then builds on that writer's
// change instead of saving over it.
TEST_F(KelReportAccessTest, CancelWaitsForTheReportLockAndKeepsTheChangeMadeUnderIt) {
  Schedule(std::string(kScheduled) + "<SubReport Recipient=\"2\" Status=\"Scheduled\"/>");
  DirectoryLock lock;
  ASSERT_EQ(DirectoryLock::Acquire(ReportPath(), &lock), S_OK);
  const std::string before = ReadFile(ReportPath());
  std::atomic<bool> done{false};
  std::jthread canceler([&] {
    EXPECT_EQ(service_->CancelRequest(kId), S_OK) << TakeError();
    done = true;
  });
  struct Release {  // before the join, also when an assertion ends the test
    DirectoryLock* lock;
    ~Release() { lock->Release(); }
  } release{&lock};
  const std::string lock_file = DirectoryLock::LockPathFor(ReportPath());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done && !testing::SomeoneWaitsToLock(lock_file) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(testing::SomeoneWaitsToLock(lock_file))
      << (done ? "the cancel ended while another writer held the report lock"
               : "the cancel never asked for the report lock");
  EXPECT_EQ(ReadFile(ReportPath()), before);
  std::string changed = before;
  const std::string scheduled = "Recipient=\"2\" Status=\"Scheduled\"";
  changed.replace(changed.find(scheduled), scheduled.size(),
                  "Recipient=\"2\" Status=\"InProgress\"");
  ASSERT_EQ(WriteFileAtomically(ReportPath(), changed), S_OK);
  lock.Release();
  canceler.join();
  EXPECT_EQ(Statuses(ReportPath()), "Canceled|Canceled|InProgress");
  EXPECT_FALSE(FileExists(RequestPath()));
}

// The scheduler saves "Completed" a moment before it deletes the request
// file: a cancel in that moment finds the report final and changes nothing.
// Another final status (an error of preprocessing, an earlier cancel) is
// final the same way.
TEST_F(KelReportAccessTest, ACancelAfterAFinalStatusIsRefusedAndChangesNothing) {
  for (const char* final_status : {"Completed", "Canceled", "ErrorGenerateVoiceFile",
                                   "InternalError", "ErrorNoFile", "ErrorConvertFile"}) {
    SCOPED_TRACE(final_status);
    Schedule("<SubReport Recipient=\"1\" Status=\"Completed\"/>");
    std::string report = ReadFile(ReportPath());
    report.replace(report.find("Status=\"Scheduled\""), 18,
                   std::string("Status=\"") + final_status + "\"");
    WriteFile(ReportPath(), report);
    EXPECT_EQ(service_->CancelRequest(kId), S_FALSE);
    EXPECT_EQ(ReadFile(ReportPath()), report);
    EXPECT_TRUE(FileExists(RequestPath()));  // the scheduler's to delete
  }
  EXPECT_TRUE(EventLogEntries().empty());

  // The other order: the cancel comes first, while a call is under way; the
  // scheduler then finds the request file gone and does not complete it.
  Schedule("<SubReport Recipient=\"1\" Status=\"InProgress\"/>");
  ASSERT_EQ(service_->CancelRequest(kId), S_OK);
  EXPECT_EQ(Statuses(ReportPath()), "Canceled|InProgress");
  EXPECT_FALSE(FileExists(RequestPath()));
}

TEST_F(KelReportAccessTest, WhatIsMissingOrNotPlainlyNamedIsLeftAlone) {
  ComPtr<IKelReport> report;
  EXPECT_EQ(service_->GetReport(kId, report.Put()), S_FALSE);
  EXPECT_FALSE(report);

  // A request still in Inbox is not scheduled yet.
  Schedule(kScheduled);
  const std::string inbox = store_ + "Inbox/" + kId + ".xml";
  std::filesystem::rename(RequestPath(), inbox);
  const std::string before = ReadFile(ReportPath());
  EXPECT_EQ(service_->CancelRequest(kId), S_FALSE);
  EXPECT_EQ(ReadFile(ReportPath()), before);

  // Identifiers never become paths: Requests/../Inbox/<id>.xml is the inbox file.
  EXPECT_EQ(service_->CancelRequest((std::string("../Inbox/") + kId).c_str()), E_INVALIDARG);
  EXPECT_EQ(service_->GetReport((std::string("../Inbox/") + kId).c_str(), report.Put()),
            E_INVALIDARG);
  EXPECT_TRUE(FileExists(inbox));

  Schedule(kScheduled);
  ASSERT_EQ(service_->put_Location(""), S_OK);
  EXPECT_EQ(service_->GetReport(kId, report.Put()), MakeHresult(kel_msg::kLocationRequired));
  EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kLocationRequired));
  EXPECT_TRUE(FileExists(RequestPath()));
}

TEST_F(KelReportAccessTest, UnusableReportsFailWithWhatFailed) {
  WriteFile(RequestPath(), "<Request/>");  // and no report
  EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kReportNotFound));
  EXPECT_EQ(TakeError(), "Kel.KelService.1: Report file not found.\r\n");
  EXPECT_FALSE(FileExists(RequestPath()));

  Schedule("");
  WriteFile(ReportPath(), "<Report");
  const std::string not_loaded =
      "Kel.KelService.1: Failed to load XML file " + ReportPath() + " with error: ";
  ComPtr<IKelReport> report;
  EXPECT_EQ(service_->GetReport(kId, report.Put()), MakeHresult(kel_msg::kXmlLoadFailed));
  EXPECT_EQ(TakeError().rfind(not_loaded, 0), 0u);
  EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kXmlLoadFailed));
  EXPECT_EQ(TakeError().rfind(not_loaded, 0), 0u);

  // A report that may not be read, a Reports directory that may not be
  // written: nothing is saved.
  Schedule(kScheduled);
  const std::string scheduled = ReadFile(ReportPath());
  {
    testing::PermissionsEnforced enforced;
    ASSERT_EQ(::chmod(ReportPath().c_str(), 0), 0);
    EXPECT_EQ(service_->GetReport(kId, report.Put()), MakeHresult(kel_msg::kFileAccessFailed));
    EXPECT_EQ(TakeError(),
              "Kel.KelService.1: Failed to access specified file: " + ReportPath() + ".\r\n");
    ASSERT_EQ(::chmod(ReportPath().c_str(), 0644), 0);
    ASSERT_EQ(::chmod((store_ + "Reports").c_str(), 0555), 0);
    EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kSaveNotPermitted));
    EXPECT_EQ(TakeError(),
              "Kel.KelService.1: Save operation is not permitted: " + ReportPath() + ".\r\n");
    ASSERT_EQ(::chmod((store_ + "Reports").c_str(), 0755), 0);
  }
  EXPECT_EQ(ReadFile(ReportPath()), scheduled);
  EXPECT_TRUE(EventLogEntries().empty());

  // A sub-report without a status: a caught failure, the report unchanged.
  Schedule(std::string(kScheduled) + "<SubReport Recipient=\"2\"/>");
  const std::string unchanged = ReadFile(ReportPath());
  EXPECT_EQ(service_->CancelRequest(kId), E_INVALIDARG);
  EXPECT_EQ(TakeError(), "Kel.KelService.1: Error in CKelService::CancelRequest: " +
                             ErrorText(E_INVALIDARG) + "\r\n");
  EXPECT_EQ(ReadFile(ReportPath()), unchanged);
  ASSERT_EQ(EventLogEntries().size(), 1u);
  EXPECT_EQ(EventLogEntries()[0].strings[0], "CKelService::CancelRequest");

  // A request "file" that cannot be deleted: the report is still cancelled.
  Schedule(kScheduled);
  std::filesystem::remove(RequestPath());
  std::filesystem::create_directories(RequestPath() + "/content");
  EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kDeleteFileFailed));
  EXPECT_EQ(TakeError(), "Kel.KelService.1: Failed to delete file: " + RequestPath() + ".\r\n");
  EXPECT_EQ(Statuses(ReportPath()), "Canceled|Canceled");
}

// The report generator's side, in its own process: adds call result i (its
// Error is i) to recipient 1 through libtallier.so until `stop_file` appears
// (at most 3000), then writes the number it added to `count_file`.
[[noreturn]] void RunReportGenerator(const std::string& report, const std::string& stop_file,
                                     const std::string& count_file) {
  ComPtr<tallier::ITallier> tallier;
  if (Failed(CreateInstance(std::string_view(tallier::kTallierProgId), &tallier))) std::_Exit(2);
  int added = 0;
  for (; added < 3000 && !FileExists(stop_file); ++added) {
    const std::string result = "<Call Error=\"" + std::to_string(added) +
                               "\"><Time dt:dt=\"dateTime\">2024-01-01T00:00:00</Time></Call>";
    if (tallier->AddCallResult(report.c_str(), "1", result.c_str()) != S_OK) std::_Exit(3);
  }
  std::ofstream(count_file) << added;
  std::_Exit(0);
}

// The Error of every Call of the report, or nullopt when it does not load.
std::optional<std::vector<std::string>> CallErrors(const std::string& report) {
  xml::Document document;
  if (document.Load(report) != S_OK) return std::nullopt;
  std::vector<std::string> errors;
  for (pugi::xml_node call : xml::ElementsByName(document.FirstChild(), "Call")) {
    errors.push_back(call.attribute("Error").value());
  }
  return errors;
}

TEST_F(KelReportAccessTest, CancellingLosesNoUpdateOfAConcurrentReportGenerator) {
  ASSERT_EQ(testing::RunProgram(
                {testing::ProgramPath("ringwell-regsvr"), testing::LibraryPath("tallier")}),
            0);
  // The store lives in memory where the machine offers it: the test is about
  // concurrent writers, not about how fast the disk flushes.
  std::string store = (IsDirectory("/dev/shm") ? "/dev/shm/" : scratch()) + "kel-cancel-XXXXXX";
  ASSERT_NE(::mkdtemp(store.data()), nullptr);
  store += "/";
  struct Remove {
    std::string dir;
    ~Remove() { std::filesystem::remove_all(dir); }
  } remove{store};
  for (const char* sub : {"Requests", "Reports"}) std::filesystem::create_directory(store + sub);
  UseStore(store);
  Schedule(std::string(kScheduled) + "<SubReport Recipient=\"2\" Status=\"InProgress\"/>");

  const std::string stop_file = scratch() + "stop", count_file = scratch() + "count";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) RunReportGenerator(ReportPath(), stop_file, count_file);
  struct Reap {  // ends the writer when the test gives up early
    pid_t pid;
    ~Reap() {
      if (::waitpid(pid, nullptr, WNOHANG) == 0) ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } reap{pid};

  // A reader looks at the report all the while: it must always parse.
  std::atomic<int> unreadable{0};
  std::atomic<std::size_t> seen{0};
  std::jthread reader([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      const auto errors = CallErrors(ReportPath());
      if (errors) {
        seen = errors->size();
      } else {
        ++unreadable;
      }
    }
  });
  // Waits until the reader has seen `count` call results; false when the
  // writer ended first or it takes unreasonably long.
  auto wait_for = [&](std::size_t count) {
    for (int i = 0; i < 60000 && seen < count; ++i) {
      if (::waitpid(pid, nullptr, WNOHANG) != 0) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return seen >= count;
  };

  ASSERT_TRUE(wait_for(10));
  // A canceled request is final; the status goes back each time, through the
  // report generator, for the next cancel.
  ComPtr<tallier::ITallier> tallier;
  ASSERT_EQ(CreateInstance(std::string_view(tallier::kTallierProgId), &tallier), S_OK);
  for (int i = 0; i < 20; ++i) {
    WriteFile(RequestPath(), "<Request/>");
    ASSERT_EQ(tallier->UpdateStatus(ReportPath().c_str(), "", "InProgress"), S_OK);
    ASSERT_EQ(service_->CancelRequest(kId), S_OK) << TakeError();
  }
  ASSERT_TRUE(wait_for(seen + 10));  // updates after the last cancel
  WriteFile(stop_file, "");
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  reader.request_stop();
  reader.join();

  // Every update is kept, in order.
  std::vector<std::string> expected(std::stoul(ReadFile(count_file)));
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = std::to_string(i);
  EXPECT_EQ(CallErrors(ReportPath()), expected);
  EXPECT_EQ(Statuses(ReportPath()), "Canceled|Canceled|InProgress");
  EXPECT_EQ(unreadable, 0);
}

}  // namespace
}  // namespace ringwell::kel
