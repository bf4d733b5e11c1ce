// Symbolic links planted at every place of the spool a group member can
// write: the daemon follows none of them, touches nothing outside the root,
// and reports each with an event.
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

class SymlinkTest : public testing::PrepaxTest {
 protected:
  void SetUp() override {
    PrepaxTest::SetUp();
    outside_ = scratch() + "outside/";
    fs::create_directories(outside_);
    WriteFile(outside_ + "keep.wav", "not to be touched");
    StoreRecording("real.wav");
    fs::copy_file(root() + "Files/{0}/real.wav", outside_ + "real.wav");
  }
  // Names, sizes and contents of everything outside the root.
  std::string OutsideState() {
    std::string state;
    for (const auto& entry : fs::recursive_directory_iterator(outside_)) {
      state += entry.path().string() + "|";
      if (entry.is_regular_file()) state += ReadFile(entry.path().string()) + "|";
    }
    return state;
  }
  std::string SubmitWithFile(const std::string& file) {
    auto request = NewRequest({"5551234"});
    AddPart(request.Get(), kelTextMessagePart, "Hello");
    AddPart(request.Get(), kelFileNameMessagePart, file);
    return Submit(request.Get());
  }
  bool LoggedLink(const std::string& path) {
    for (const auto& entry : EventLogEntries()) {
      if (entry.text.find(path) != std::string::npos &&
          (entry.text.find("symbolic link") != std::string::npos)) {
        return true;
      }
    }
    return false;
  }
  std::string outside_;
};

TEST_F(SymlinkTest, NoLinkInTheSpoolIsFollowed) {
  struct Case {
    const char* name;
    // Plants the link for a request and returns what the event must name.
    std::function<std::string(const std::string& id)> plant;
    const char* status;  // the request's status afterwards ("" while it waits in Inbox)
  };
  const Case cases[] = {
      {"Inbox/link.xml",
       [this](const std::string& id) {
         fs::rename(InboxFile(id), outside_ + "request.xml");
         fs::create_symlink(outside_ + "request.xml", root() + "Inbox/link.xml");
         return root() + "Inbox/link.xml";
       },
       "<no report>"},
      {"Requests/ID linked to a directory",
       [this](const std::string& id) {
         fs::create_directory_symlink(outside_, RequestDir(id));
         return RequestDir(id);
       },
       "InternalError"},
      {"Files/{0}/link.wav",
       [this](const std::string& id) {
         std::string text = ReadFile(InboxFile(id));
         text.replace(text.find("real.wav"), 8, "link.wav");
         WriteFile(InboxFile(id), text);
         fs::create_symlink(outside_ + "real.wav", root() + "Files/{0}/link.wav");
         return root() + "Files/{0}/link.wav";
       },
       "ErrorNoFile"},
      {"Files/USER linked to a directory",
       [this](const std::string& id) {
         std::string text = ReadFile(InboxFile(id));
         text.replace(text.find("UserID=\"{0}\""), 12, "UserID=\"evil\"");
         WriteFile(InboxFile(id), text);
         fs::create_directory_symlink(outside_, root() + "Files/evil");
         return root() + "Files/evil/real.wav";
       },
       "ErrorNoFile"},
      {"Reports/ID.xml linked to a file",
       [this](const std::string& id) {
         WriteFile(outside_ + "report.xml", "<Report Status=\"Foreign\"/>");
         fs::create_symlink(outside_ + "report.xml", ReportFile(id));
         return std::string();  // the report generator reports it
       },
       "Scheduled"},
      {"the report's lock file linked to a file not yet there",
       [this](const std::string&) {
         fs::remove(root() + "Reports/.lock");
         fs::create_symlink(outside_ + "made-by-lock", root() + "Reports/.lock");
         return std::string();
       },
       ""},
  };
  int escapes = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearEventLog();
    const std::string id = SubmitWithFile("real.wav");
    const std::string named = c.plant(id);
    const std::string before = OutsideState();
    CFileProcessor processor;
    processor.ScanInbox();
    processor.ProcessFiles();
    processor.ScanInbox();
    processor.ProcessFiles();
    if (OutsideState() != before) ++escapes;
    EXPECT_EQ(OutsideState(), before);
    if (std::string_view(c.status).empty()) {
      EXPECT_TRUE(fs::exists(InboxFile(id)));  // waits for a report it can make
    } else {
      EXPECT_EQ(ReportStatus(id), c.status);
    }
    if (!named.empty()) {
      EXPECT_TRUE(LoggedLink(named)) << named;
    }
    EXPECT_FALSE(EventLogEntries().empty());
    if (fs::is_symlink(RequestDir(id))) fs::remove(RequestDir(id));
  }
  EXPECT_EQ(escapes, 0);
  EXPECT_FALSE(fs::exists(outside_ + "made-by-lock"));
}

}  // namespace
}  // namespace ringwell::prepax
