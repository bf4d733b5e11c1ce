// The daemon on a storage root whose file system fills up and empties
// again: a request that cannot be prepared for want of space waits in Inbox,
// "Processing", and is scheduled once space comes back; nothing is failed
// for it and nothing half written is left. Needs root for the tmpfs.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "file_processor.h"
#include "prepax_test_support.h"
#include "ringwell/common/disk_space.h"
#include "ringwell/testing/small_disk.h"

namespace ringwell::prepax {
namespace {

using namespace std::chrono_literals;
using namespace ringwell::kel;
using ringwell::testing::ListDir;
using ringwell::testing::SmallDisk;

class DiskFullTest : public testing::PrepaxTest {
 protected:
  void SetUp() override {
    PrepaxTest::SetUp();
    std::string why;
    if (!disk_.Mount(root(), 6 << 20, &why)) GTEST_SKIP() << why;
    SetConfigNumber(kMinFreeSpaceValue, 256);
  }
  // A request whose speech takes far more than the room left.
  std::string SubmitLongSpeech(const std::string& recipient) {
    auto request = NewRequest({recipient});
    std::string text;
    for (int i = 0; i < 40; ++i) text += "The pump in hall " + std::to_string(i) + " has stopped. ";
    AddPart(request.Get(), kelTextMessagePart, text);
    return Submit(request.Get());
  }
  bool RunUntil(CFileProcessor& processor, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (std::chrono::steady_clock::now() < deadline) {
      processor.ScanInbox();
      processor.ProcessFiles();
      if (done()) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }
  int CountEvents(const std::string& part) {
    int count = 0;
    for (const auto& entry : EventLogEntries()) count += entry.text.find(part) != std::string::npos;
    return count;
  }
  SmallDisk disk_;
};

TEST_F(DiskFullTest, RequestsWaitInInboxWhileTheDiskIsFullAndAreScheduledOnceSpaceComesBack) {
  const std::vector<std::string> ids = {SubmitLongSpeech("5551001"), SubmitLongSpeech("5551002"),
                                        SubmitLongSpeech("5551003")};
  // Room for the reports, none for the speech.
  disk_.Fill(96 << 10);
  CFileProcessor processor;
  for (int cycle = 0; cycle < 3; ++cycle) {
    processor.ScanInbox();
    processor.ProcessFiles();
  }
  for (const std::string& id : ids) {
    EXPECT_TRUE(std::filesystem::exists(InboxFile(id))) << id;
    EXPECT_FALSE(std::filesystem::exists(RequestFile(id))) << id;
    // What a try made went with it: no request directory, no half wav file.
    EXPECT_FALSE(std::filesystem::exists(RequestDir(id))) << id;
    EXPECT_EQ(ReportStatus(id), "Processing") << id;
  }
  EXPECT_EQ(CountEvents("waits for space on " + root()), 3);

  disk_.Free();
  ASSERT_TRUE(RunUntil(processor, [&] {
    for (const std::string& id : ids) {
      if (ReportStatus(id) != "Scheduled") return false;
    }
    return true;
  }));
  for (const std::string& id : ids) {
    EXPECT_FALSE(std::filesystem::exists(InboxFile(id))) << id;
    EXPECT_TRUE(std::filesystem::exists(RequestFile(id))) << id;
    EXPECT_EQ(ListDir(RequestDir(id)).size(), 1u) << id;  // the spoken part, nothing else
  }
  EXPECT_EQ(CountEvents("waits for space"), 3);  // one each, not one per try
}

TEST_F(DiskFullTest, NoReportCanBeWrittenAtAllTheRequestStaysInInbox) {
  const std::string id = SubmitLongSpeech("5552001");
  disk_.Fill(0);
  CFileProcessor processor;
  processor.ScanInbox();
  processor.ProcessFiles();
  EXPECT_TRUE(std::filesystem::exists(InboxFile(id)));
  EXPECT_FALSE(std::filesystem::exists(RequestDir(id)));
  const std::string status = ReportStatus(id);
  EXPECT_TRUE(status == "<no report>" || status == "Processing") << status;

  disk_.Free();
  ASSERT_TRUE(RunUntil(processor, [&] { return ReportStatus(id) == "Scheduled"; }));
  EXPECT_TRUE(std::filesystem::exists(RequestFile(id)));
}

TEST_F(DiskFullTest, AFailedRequestWhoseStatusCannotBeSavedFailsOnceSpaceComesBack) {
  auto request = NewRequest({"5553001"});
  AddPart(request.Get(), kelFileNameMessagePart, "never-stored.wav");
  const std::string id = Submit(request.Get());
  CFileProcessor processor;
  disk_.Fill(0);
  processor.ScanInbox();
  processor.ProcessFiles();
  EXPECT_TRUE(std::filesystem::exists(InboxFile(id)));
  disk_.Free();
  ASSERT_TRUE(RunUntil(processor, [&] { return ReportStatus(id) == "ErrorNoFile"; }));
  EXPECT_FALSE(std::filesystem::exists(InboxFile(id)));
  EXPECT_FALSE(std::filesystem::exists(RequestDir(id)));
}

}  // namespace
}  // namespace ringwell::prepax
