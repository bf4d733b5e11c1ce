// The listing as the HTTP API keeps it: pages by cursor, filters, and a
// long-lived index told of changes.
#include "listing.h"

#include <gtest/gtest.h>
#include <utime.h>

#include <filesystem>

#include "ringwell/testing/fixture.h"

namespace ringwell::kel::client {
namespace {

using ringwell::testing::WriteFile;

class ListingTest : public ringwell::testing::RingwellTest {
 protected:
  static std::string Id(int i) {
    char id[64];
    std::snprintf(id, sizeof id, "{%08d-0000-4000-8000-000000000000}", i);
    return id;
  }
  void Report(int i, const std::string& type, const std::string& status, std::time_t when) {
    const std::string path = root() + "Reports/" + Id(i) + ".xml";
    WriteFile(path, "<Report ID=\"" + Id(i) + "\" Type=\"" + type + "\" Status=\"" + status +
                        "\"><SubReport Recipient=\"1\" Status=\"Completed\"/></Report>");
    utimbuf times{when, when};
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
  }
  static std::vector<std::string> Ids(const ListPage& page) {
    std::vector<std::string> ids;
    for (const auto& request : page.requests) ids.push_back(request.id);
    return ids;
  }
};

TEST_F(ListingTest, PagesFollowOneAnotherByCursorWithoutGapOrRepeat) {
  for (int i = 0; i < 25; ++i) {
    Report(i, i % 5 == 0 ? "Page" : "Call", i % 2 ? "Completed" : "Scheduled", 1'800'000'000 + i);
  }
  RequestIndex index(root());
  std::vector<std::string> all;
  ListQuery query;
  query.limit = 10;
  int pages = 0;
  for (;; ++pages) {
    const ListPage page = index.Page(query);
    const auto ids = Ids(page);
    all.insert(all.end(), ids.begin(), ids.end());
    if (!page.next) break;
    // The cursor travels as text.
    query.after = DecodeCursor(EncodeCursor(*page.next));
    ASSERT_TRUE(query.after);
  }
  EXPECT_EQ(pages, 2);
  ASSERT_EQ(all.size(), 25u);
  for (int i = 0; i < 25; ++i) EXPECT_EQ(all[i], Id(24 - i));

  // Filters, ignoring case; a request that changes moves to the top.
  ListQuery pages_only;
  pages_only.types = {"page"};
  pages_only.statuses = {"scheduled"};
  EXPECT_EQ(Ids(index.Page(pages_only)), (std::vector<std::string>{Id(20), Id(10), Id(0)}));
  Report(10, "Page", "Completed", 1'900'000'000);
  index.Refresh(Id(10));
  EXPECT_EQ(Ids(index.Page(pages_only)), (std::vector<std::string>{Id(20), Id(0)}));
  EXPECT_EQ(Ids(index.Page({.statuses = {}, .types = {}, .limit = 1, .after = {}})),
            std::vector<std::string>{Id(10)});
  std::filesystem::remove(root() + "Reports/" + Id(20) + ".xml");
  index.Refresh(Id(20));
  const auto counts = index.CountByStatus();
  EXPECT_EQ(counts.at("Completed"), 13u);
  EXPECT_EQ(counts.at("Scheduled"), 11u);

  for (const char* refused : {"", "zz", "616263", "4142437c"}) {
    EXPECT_FALSE(DecodeCursor(refused)) << refused;
  }
}

}  // namespace
}  // namespace ringwell::kel::client
