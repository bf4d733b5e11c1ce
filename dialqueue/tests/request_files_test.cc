#include "request_files.h"

#include "request_paths.h"
#include "scheduler_fixture.h"

namespace ringwell::dialqueue::testing {
namespace {

namespace fs = std::filesystem;
using ringwell::testing::WriteFile;

class RequestFilesTest : public SchedulerTest {
 protected:
  // Deletes the files of the request `id` whose file is Requests/`file` (written first if `there`).
  void Delete(const std::string& id, const std::string& file, bool there = true) {
    CQueueEntry entry;
    entry.Id = id;
    entry.RequestFile = root() + "Requests/" + file;
    if (there) WriteFile(entry.RequestFile, "<Request/>");
    DeleteRequestFiles(entry, *clock_, {});
    EXPECT_FALSE(fs::exists(entry.RequestFile)) << id;
  }
};

TEST_F(RequestFilesTest, DeletesTheRequestFileAndTheFilesOfItsWavDirectoryOnly) {
  fs::create_directories(root() + "Requests/{A}/sub");
  WriteFile(root() + "Requests/{A}/1.wav", "x");
  WriteFile(root() + "Requests/{B}.xml", "<Request/>");
  fs::create_directories(root() + "victim");
  WriteFile(root() + "victim/keep.wav", "x");
  Delete("{A}", "{A}.xml");
  // An ID that is not a plain name never names a directory.
  for (const std::string id : {"", "..", "../victim"}) Delete(id, "odd.xml");

  EXPECT_FALSE(fs::exists(root() + "Requests/{A}/1.wav"));
  EXPECT_TRUE(fs::exists(root() + "Requests/{A}/sub"));  // not a file: stays
  EXPECT_TRUE(fs::exists(root() + "Requests/{B}.xml"));
  EXPECT_TRUE(fs::exists(root() + "victim/keep.wav"));
  Delete("{A}", "{A}.xml", false);           // already gone: no failure
  EXPECT_THAT(clock_->Sleeps(), IsEmpty());  // and no wait
  // A dot in a directory name is no extension.
  EXPECT_EQ(WavDirectoryOf("/spool/v1.2/Requests/{A}"), "/spool/v1.2/Requests/{A}/");
}

}  // namespace
}  // namespace ringwell::dialqueue::testing
