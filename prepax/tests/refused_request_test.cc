// Requests whose report the report generator refuses (content it cannot put
// into a report) are cleared once, with one event of their own, while a
// Reports directory that cannot be written keeps requests waiting.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "file_processor.h"
#include "prepax_test_support.h"

namespace ringwell::prepax {
namespace {

using namespace ringwell::kel;
using ringwell::testing::ListDir;
using ringwell::testing::ReadFile;
using ringwell::testing::WriteFile;
namespace fs = std::filesystem;

class RefusedRequestTest : public testing::PrepaxTest {
 protected:
  // A request the toolkit wrote, then changed by hand as `edit` says.
  std::string HandEdited(const std::function<void(std::string&)>& edit) {
    auto request = NewRequest({"5551234"});
    request->put_AdditionalInfo("<Ticket>INC-1</Ticket>");
    AddPart(request.Get(), kelTextMessagePart, "The backup has failed.");
    const std::string id = Submit(request.Get());
    std::string text = ReadFile(InboxFile(id));
    edit(text);
    WriteFile(InboxFile(id), text);
    return id;
  }
  static void Replace(std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
  }
  // The entries that name `operation` as the place of the failure.
  int EntriesOf(const std::string& operation) {
    int count = 0;
    for (const auto& entry : EventLogEntries()) {
      if (!entry.strings.empty() && entry.strings[0] == operation) ++count;
    }
    return count;
  }
};

// Whatever the report generator refuses - text XML cannot carry in the
// AdditionalInfo, no UserID - the request is cleared at the first attempt and never tried again:
// one event of the report generator's saying what it refused, one of the daemon's.
TEST_F(RefusedRequestTest, RequestWhoseReportIsRefusedIsClearedOnceWithOneEvent) {
  struct Case {
    const char* name;
    std::function<void(std::string&)> edit;
  };
  const Case cases[] = {
      {"control character in the AdditionalInfo",
       [](std::string& text) { Replace(text, "INC-1", "INC\x01"); }},
      {"no UserID", [](std::string& text) { Replace(text, " UserID=\"{0}\"", ""); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearEventLog();
    const std::string id = HandEdited(c.edit);
    CFileProcessor processor;
    for (int cycle = 0; cycle < 3; ++cycle) {
      processor.ScanInbox();
      processor.ProcessFiles();
    }
    EXPECT_FALSE(fs::exists(InboxFile(id)));
    EXPECT_TRUE(ListDir(root() + "Requests").empty());
    EXPECT_FALSE(fs::exists(ReportFile(id)));
    EXPECT_EQ(EntriesOf("CTallier::CreateNewReport"), 1);
    EXPECT_EQ(EntriesOf("CFileProcessor::ProcessFiles"), 1);
    EXPECT_EQ(EventLogEntries().size(), 2u);
  }
}

// Invalid UTF-8 in a recipient or in the ID: the report generator refuses
// the request, which is cleared once with one event of the daemon's, not
// tried again every second. The toolkit names every file after its request's
// ID, so a file whose ID is not UTF-8 is cleared by that name too.
TEST_F(RefusedRequestTest, InvalidUtf8InARecipientOrTheIdIsClearedOnce) {
  const std::string recipient =
      HandEdited([](std::string& text) { Replace(text, ">5551234<", ">555\xC3\x28<"); });
  const std::string id = "{BAD\xFF\xFE}";
  WriteFile(InboxFile(id), "<Request ID=\"" + id +
                               "\" UserID=\"{0}\" Type=\"Call\"><Recipients><Recipient>5551234"
                               "</Recipient></Recipients></Request>");
  CFileProcessor processor;
  for (int cycle = 0; cycle < 3; ++cycle) {
    processor.ScanInbox();
    processor.ProcessFiles();
  }
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  EXPECT_TRUE(ListDir(root() + "Requests").empty());
  EXPECT_FALSE(fs::exists(ReportFile(recipient)));
  EXPECT_EQ(EntriesOf("CTallier::CreateNewReport"), 2);
  EXPECT_EQ(EntriesOf("CFileProcessor::ProcessFiles"), 2);
  EXPECT_EQ(EventLogEntries().size(), 4u);
}

// A refusal is told from a Reports directory that fails: a refused request
// is cleared even then, and a sound one waits until Reports is back.
TEST_F(RefusedRequestTest, OnlyAFailingReportsDirectoryKeepsRequestsWaiting) {
  const std::string refused =
      HandEdited([](std::string& text) { Replace(text, "INC-1", "INC\x01"); });
  auto request = NewRequest({"5551234"});
  AddPart(request.Get(), kelTextMessagePart, "The backup has failed.");
  const std::string sound = Submit(request.Get());
  // A lock file that is a link: no report can be written.
  fs::create_symlink(scratch() + "elsewhere", root() + "Reports/.lock");

  CFileProcessor processor;
  for (int cycle = 0; cycle < 3; ++cycle) {
    processor.ScanInbox();
    processor.ProcessFiles();
  }
  EXPECT_FALSE(fs::exists(InboxFile(refused)));
  EXPECT_TRUE(fs::exists(InboxFile(sound)));
  EXPECT_FALSE(fs::exists(scratch() + "elsewhere"));
  EXPECT_EQ(EntriesOf("CTallier::CreateNewReport"), 2);  // the refusal, the first failure
  EXPECT_EQ(EntriesOf("CFileProcessor::ProcessFiles"), 1);
  EXPECT_EQ(EntriesOf("CFileProcessor::GenerateReport"), 1);  // the waiting request, once

  fs::remove(root() + "Reports/.lock");
  processor.ScanInbox();
  processor.ProcessFiles();
  EXPECT_EQ(ReportStatus(sound), "Scheduled");
  EXPECT_FALSE(fs::exists(InboxFile(sound)));
}

}  // namespace
}  // namespace ringwell::prepax
