#include "request_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "request_paths.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

namespace fs = std::filesystem;
using ringwell::testing::WriteFile;

class RequestFilesTest : public SchedulerTest {
 protected:
  CQueueEntry EntryFor(const std::string& id) {
    CQueueEntry entry;
    entry.Id = id;
    entry.RequestFile = root() + "Requests/" + id + ".xml";
    return entry;
  }
};

TEST_F(RequestFilesTest, PathsFollowFromTheRequestFile) {
  CQueueEntry entry = EntryFor("{A}");
  EXPECT_EQ(ReportPathOf(entry), root() + "Reports/{A}.xml");
  EXPECT_EQ(WavDirectoryOf(entry.RequestFile), root() + "Requests/{A}/");
  EXPECT_EQ(CleanupDirectoryOf(entry), root() + "Requests/{A}/");
  EXPECT_EQ(WavDirectoryOf("/spool/v1.2/Requests/{A}"), "/spool/v1.2/Requests/{A}/");
  entry.Id = "..";
  EXPECT_FALSE(CleanupDirectoryOf(entry));
}

TEST_F(RequestFilesTest, DeletesTheRequestFileAndItsWavDirectory) {
  const CQueueEntry entry = EntryFor("{A}");
  WriteFile(entry.RequestFile, "<Request/>");
  fs::create_directories(root() + "Requests/{A}/sub");
  WriteFile(root() + "Requests/{A}/1.wav", "x");
  WriteFile(root() + "Requests/{A}/2.wav", "x");
  WriteFile(root() + "Requests/{B}.xml", "<Request/>");
  DeleteRequestFiles(entry, *clock_, {});

  EXPECT_FALSE(fs::exists(entry.RequestFile));
  EXPECT_FALSE(fs::exists(root() + "Requests/{A}/1.wav"));
  EXPECT_FALSE(fs::exists(root() + "Requests/{A}/2.wav"));
  EXPECT_TRUE(fs::exists(root() + "Requests/{A}/sub"));  // not a file: stays
  EXPECT_TRUE(fs::exists(root() + "Requests/{B}.xml"));

  // Nothing left to delete is no failure, and costs no wait.
  const std::size_t sleeps = clock_->Sleeps().size();
  DeleteRequestFiles(entry, *clock_, {});
  EXPECT_EQ(clock_->Sleeps().size(), sleeps);
}

TEST_F(RequestFilesTest, AnIdThatIsNotAPlainNameNeverNamesADirectory) {
  WriteFile(root() + "Requests/other.xml", "<Request/>");
  fs::create_directories(root() + "victim");
  WriteFile(root() + "victim/keep.wav", "x");
  for (const std::string id : {"", "..", "../victim"}) {
    CQueueEntry entry;
    entry.Id = id;
    entry.RequestFile = root() + "Requests/odd.xml";
    WriteFile(entry.RequestFile, "<Request/>");
    DeleteRequestFiles(entry, *clock_, {});
    EXPECT_FALSE(fs::exists(entry.RequestFile)) << id;
  }
  EXPECT_TRUE(fs::exists(root() + "Requests/other.xml"));
  EXPECT_TRUE(fs::exists(root() + "victim/keep.wav"));
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
