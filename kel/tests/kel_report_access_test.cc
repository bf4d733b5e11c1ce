// CancelRequest: which statuses it changes, when it changes nothing, its
// failures after the request file is gone, and cancellation while the report
// generator in another process keeps updating the same report.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "kel_service.h"
#include "kel_test_util.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/files.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/common/xml.h"
#include "ringwell/tallier/tallier.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;
using testing::ReadFile;
using testing::WriteFile;

constexpr char kId[] = "{8E2B7C41-6A3D-4F90-B1C2-D3E4F5A6B7C8}";

std::string ReportXml(const std::string& sub_reports) {
  return std::string("<Report xmlns=\"urn:schemas-microsoft-com:xml-data\" ") +
         "xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" UserID=\"{0}\" ID=\"" + kId +
         "\" Type=\"Call\" Status=\"Scheduled\">" + sub_reports + "</Report>";
}

// The Status of the report followed by that of each sub-report.
std::vector<std::string> Statuses(const std::string& report_path) {
  xml::Document document;
  EXPECT_EQ(document.Load(report_path), S_OK);
  std::vector<std::string> statuses{document.FirstChild().attribute("Status").value()};
  for (pugi::xml_node sub_report : xml::ElementsByName(document.FirstChild(), "SubReport")) {
    statuses.push_back(sub_report.attribute("Status").value());
  }
  return statuses;
}

class KelCancelTest : public testing::RingwellTest {
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
  void WriteRequest() { WriteFile(RequestPath(), "<Request/>"); }
  void WriteReport(const std::string& sub_reports) {
    WriteFile(ReportPath(), ReportXml(sub_reports));
  }

  std::string store_;
  ComPtr<IKelService> service_;
};

TEST_F(KelCancelTest, CancelMarksTheReportAndOnlyItsScheduledSubReports) {
  WriteRequest();
  WriteReport(
      "<SubReport Recipient=\"1\" Status=\"Scheduled\"/>"
      "<SubReport Recipient=\"2\" Status=\"scheduled\"/>"
      "<SubReport Recipient=\"3\" Status=\"InProgress\"><Call Status=\"Busy\"/></SubReport>"
      "<SubReport Recipient=\"4\" Status=\"Failed\"/>");
  ASSERT_EQ(service_->CancelRequest(kId), S_OK);
  EXPECT_EQ(Statuses(ReportPath()),
            (std::vector<std::string>{"Canceled", "Canceled", "Canceled", "InProgress", "Failed"}));
  EXPECT_FALSE(FileExists(RequestPath()));

  // Nothing is scheduled any more: a second cancel changes nothing.
  const std::string canceled = ReadFile(ReportPath());
  EXPECT_EQ(service_->CancelRequest(kId), S_FALSE);
  EXPECT_EQ(ReadFile(ReportPath()), canceled);
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelCancelTest, ARequestStillInTheInboxIsNotCancelled) {
  WriteFile(store_ + "Inbox/" + kId + ".xml", "<Request/>");
  WriteReport("<SubReport Recipient=\"1\" Status=\"Processing\"/>");
  const std::string before = ReadFile(ReportPath());
  EXPECT_EQ(service_->CancelRequest(kId), S_FALSE);
  EXPECT_EQ(ReadFile(ReportPath()), before);
  EXPECT_TRUE(FileExists(store_ + "Inbox/" + kId + ".xml"));
}

TEST_F(KelCancelTest, FailuresAfterTheRequestFileIsGoneNameWhatFailed) {
  // No report.
  WriteRequest();
  EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kReportNotFound));
  EXPECT_EQ(TakeDescription(), "Report file not found.\r\n");
  EXPECT_FALSE(FileExists(RequestPath()));

  // A report that is not XML.
  WriteRequest();
  WriteFile(ReportPath(), "<Report");
  EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kXmlLoadFailed));
  EXPECT_EQ(TakeDescription().rfind("Failed to load XML file " + ReportPath() + " with error: ", 0),
            0u);

  // A Reports directory that may not be written: nothing is saved.
  WriteRequest();
  WriteReport("<SubReport Recipient=\"1\" Status=\"Scheduled\"/>");
  const std::string scheduled = ReadFile(ReportPath());
  {
    testing::PermissionsEnforced enforced;
    ASSERT_EQ(::chmod((store_ + "Reports").c_str(), 0555), 0);
    EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kSaveNotPermitted));
    EXPECT_EQ(TakeDescription(), "Save operation is not permitted: " + ReportPath() + ".\r\n");
    ASSERT_EQ(::chmod((store_ + "Reports").c_str(), 0755), 0);
  }
  EXPECT_EQ(ReadFile(ReportPath()), scheduled);
  EXPECT_TRUE(EventLogEntries().empty());

  // A sub-report without a status: a caught failure, the report unchanged.
  WriteRequest();
  WriteReport("<SubReport Recipient=\"1\" Status=\"Scheduled\"/><SubReport Recipient=\"2\"/>");
  const std::string unchanged = ReadFile(ReportPath());
  EXPECT_EQ(service_->CancelRequest(kId), E_INVALIDARG);
  EXPECT_EQ(TakeDescription(),
            "Error in CKelService::CancelRequest: " + ErrorText(E_INVALIDARG) + "\r\n");
  EXPECT_EQ(ReadFile(ReportPath()), unchanged);
  ASSERT_EQ(EventLogEntries().size(), 1u);
  EXPECT_EQ(EventLogEntries()[0].strings[0], "CKelService::CancelRequest");

  // A request "file" that cannot be deleted: the report is still cancelled.
  std::filesystem::create_directories(RequestPath() + "/content");
  WriteReport("<SubReport Recipient=\"1\" Status=\"Scheduled\"/>");
  EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kDeleteFileFailed));
  EXPECT_EQ(TakeDescription(), "Failed to delete file: " + RequestPath() + ".\r\n");
  EXPECT_EQ(Statuses(ReportPath()), (std::vector<std::string>{"Canceled", "Canceled"}));
}

TEST_F(KelCancelTest, IdentifiersThatAreNotPlainNamesTouchNothing) {
  // Requests/../Inbox/<id>.xml would be the inbox file.
  WriteFile(store_ + "Inbox/" + kId + ".xml", "<Request/>");
  WriteFile(store_ + "Inbox/report.xml", ReportXml(""));
  const std::string sneaky = std::string("../Inbox/") + kId;
  EXPECT_EQ(service_->CancelRequest(sneaky.c_str()), E_INVALIDARG);
  EXPECT_EQ(service_->CancelRequest(nullptr), E_INVALIDARG);
  EXPECT_TRUE(FileExists(store_ + "Inbox/" + kId + ".xml"));

  WriteRequest();
  ASSERT_EQ(service_->put_Location(""), S_OK);
  EXPECT_EQ(service_->CancelRequest(kId), MakeHresult(kel_msg::kLocationRequired));
  EXPECT_TRUE(FileExists(RequestPath()));
}

// Cancellation while the report generator keeps adding call results.

constexpr char kWriterNumber[] = "5551";
// Bounds the writer even if the test never tells it to stop.
constexpr int kMaxCallResults = 3000;
constexpr int kCancels = 20;

// The report generator's side, in its own process: adds call result i (its
// Error is i) to recipient 5551 through libtallier.so until `stop_file`
// appears, then writes the number it added to `count_file`. Never returns.
[[noreturn]] void RunReportGenerator(const std::string& report, const std::string& stop_file,
                                     const std::string& count_file) {
  ComPtr<tallier::ITallier> tallier;
  if (Failed(CreateInstance(std::string_view(tallier::kTallierProgId), &tallier))) std::_Exit(2);
  int added = 0;
  while (added < kMaxCallResults && !FileExists(stop_file)) {
    const std::string result = "<Call Error=\"" + std::to_string(added) +
                               "\"><Time dt:dt=\"dateTime\">2024-01-01T00:00:00</Time></Call>";
    if (tallier->AddCallResult(report.c_str(), kWriterNumber, result.c_str()) != S_OK) {
      std::_Exit(3);
    }
    ++added;
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

// Ends a child process that is still running when the test gives up early.
struct ChildGuard {
  pid_t pid;
  ~ChildGuard() {
    if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

TEST_F(KelCancelTest, CancellingLosesNoUpdateOfAConcurrentReportGenerator) {
  ASSERT_TRUE(RegisterLibrary("tallier"));
  // The store lives in memory where the machine offers it: the test is about
  // concurrent writers, not about how fast the disk flushes.
  const std::string base = IsDirectory("/dev/shm") ? "/dev/shm/" : scratch();
  std::string pattern = base + "kel-cancel-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string store = pattern + "/";
  struct Remove {
    std::string dir;
    ~Remove() { std::filesystem::remove_all(dir); }
  } remove{store};
  for (const char* sub : {"Requests", "Reports"}) std::filesystem::create_directory(store + sub);
  UseStore(store);
  WriteReport(std::string("<SubReport Recipient=\"") + kWriterNumber +
              "\" Status=\"Scheduled\"/><SubReport Recipient=\"5552\" Status=\"InProgress\"/>");

  const std::string stop_file = scratch() + "stop";
  const std::string count_file = scratch() + "count";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) RunReportGenerator(ReportPath(), stop_file, count_file);
  ChildGuard guard{pid};

  // A reader looks at the report all the while: it must always parse, and
  // the call results in it must never go back.
  std::atomic<int> unreadable{0};
  std::atomic<int> went_back{0};
  std::atomic<std::size_t> seen{0};
  std::jthread reader([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      const auto errors = CallErrors(ReportPath());
      if (!errors) {
        ++unreadable;
      } else {
        if (errors->size() < seen) ++went_back;
        seen = errors->size();
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
  for (int i = 0; i < kCancels; ++i) {
    WriteRequest();
    ASSERT_EQ(service_->CancelRequest(kId), S_OK) << TakeDescription();
  }
  ASSERT_TRUE(wait_for(seen + 10));  // updates after the last cancel
  WriteFile(stop_file, "");
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  guard.pid = 0;
  reader.request_stop();
  reader.join();
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  const int added = std::stoi(ReadFile(count_file));
  const auto errors = CallErrors(ReportPath());
  ASSERT_TRUE(errors);
  ASSERT_EQ(errors->size(), static_cast<std::size_t>(added));
  for (int i = 0; i < added; ++i) EXPECT_EQ((*errors)[i], std::to_string(i));
  EXPECT_EQ(Statuses(ReportPath()),
            (std::vector<std::string>{"Canceled", "Canceled", "InProgress"}));
  EXPECT_EQ(unreadable, 0);
  EXPECT_EQ(went_back, 0);
}

}  // namespace
}  // namespace ringwell::kel
