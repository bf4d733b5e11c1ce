// The event journal on a full disk: an append that finds no room takes back
// what it wrote, so the journal holds whole lines only and the next append
// starts a line of its own; a journal that would hold nothing is not left
// behind empty. Needs root for the tmpfs.
#include <gtest/gtest.h>

#include <filesystem>

#include "event_journal.h"
#include "ringwell/common/disk_space.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/small_disk.h"

namespace ringwell::api {
namespace {

std::vector<nlohmann::json> Events(std::uint64_t first, std::size_t count) {
  std::vector<nlohmann::json> events;
  for (std::size_t i = 0; i < count; ++i) {
    events.push_back({{"seq", first + i},
                      {"type", "status"},
                      {"status", "InProgress"},
                      {"padding", std::string(200, 'p')}});
  }
  return events;
}

class JournalSpaceTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    std::string why;
    if (!disk_.Mount(root(), 1 << 20, &why)) GTEST_SKIP() << why;
  }
  ringwell::testing::SmallDisk disk_;
};

TEST_F(JournalSpaceTest, AnAppendWithoutRoomLeavesWholeLinesAndNoEmptyJournal) {
  const std::string fresh = JournalPath(root(), "{fresh}");
  const std::string kept = JournalPath(root(), "{kept}");
  ASSERT_EQ(AppendEvents(kept, Events(1, 2)), S_OK);
  const auto size_before = std::filesystem::file_size(kept);

  // Room for part of what is written, not for all of it.
  disk_.Fill(2048);
  EXPECT_TRUE(IsNoSpace(AppendEvents(kept, Events(3, 200))));
  EXPECT_EQ(std::filesystem::file_size(kept), size_before);
  EXPECT_TRUE(IsNoSpace(AppendEvents(fresh, Events(1, 200))));
  EXPECT_FALSE(std::filesystem::exists(fresh));

  disk_.Free();
  ASSERT_EQ(AppendEvents(kept, Events(3, 1)), S_OK);
  const std::vector<nlohmann::json> events = ReadEvents(kept);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2]["seq"], 3);
}

}  // namespace
}  // namespace ringwell::api
