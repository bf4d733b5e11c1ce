#include "ringwell/common/storage.h"

#include <gtest/gtest.h>

#include "ringwell/testing/fixture.h"

namespace ringwell {
namespace {

using testing::RingwellTest;

class StorageTest : public RingwellTest {
 protected:
  CEventLog log_{"Ringwell Prepax", "", prepax_msg::kTable};
};

TEST_F(StorageTest, RootIsNormalisedWithOrWithoutTrailingSlash) {
  SetConfigString("RootDir", "/srv/store");
  EXPECT_EQ(ReadServiceRoot(log_, prepax_msg::kRegistryError), "/srv/store/");
  EXPECT_EQ(ReadToolkitRoot(), "/srv/store/");
  SetConfigString("RootDir", "/srv/store/");
  EXPECT_EQ(ReadServiceRoot(log_, prepax_msg::kRegistryError), "/srv/store/");
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(StorageTest, ValueTooLongForTheBufferCountsAsMissing) {
  SetConfigString("RootDir", "/" + std::string(511, 'x'));  // 512 characters
  EXPECT_EQ(ReadServiceRoot(log_, prepax_msg::kRegistryError), "/");
  EXPECT_EQ(ReadToolkitRoot(), std::nullopt);
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].text, "Registry Error: Registry value for key 'RootDir' not found\r\n");

  ClearEventLog();
  SetConfigString("RootDir", "/" + std::string(510, 'x'));  // 511 characters fit
  EXPECT_EQ(ReadServiceRoot(log_, prepax_msg::kRegistryError), "/" + std::string(510, 'x') + "/");
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(StorageTest, MissingKeyGivesTwoEntriesFromTheServiceReaderAndNoneFromTheToolkit) {
  DeleteConfigKey();
  EXPECT_EQ(ReadToolkitRoot(), std::nullopt);
  EXPECT_TRUE(EventLogEntries().empty());
  EXPECT_EQ(ReadServiceRoot(log_, prepax_msg::kRegistryError), "/");
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].source, "Ringwell Prepax");
  EXPECT_EQ(entries[0].event_id, 0xC0000002u);
  EXPECT_EQ(entries[0].strings,
            std::vector<std::string>{"Failed open kegistry key: SOFTWARE\\Corvane\\Ringwell"});
  EXPECT_EQ(entries[1].strings,
            std::vector<std::string>{"Registry value for key 'RootDir' not found"});
}

TEST_F(StorageTest, EmptyValueIsMissing) {
  SetConfigString("RootDir", "");
  EXPECT_EQ(ReadToolkitRoot(), std::nullopt);
  EXPECT_EQ(ReadServiceRoot(log_, prepax_msg::kRegistryError), "/");
  EXPECT_EQ(EventLogEntries().size(), 1u);
}

TEST_F(StorageTest, ValueIsCutAtItsFirstNul) {
  using namespace std::string_literals;
  struct Case {
    std::string value;
    std::optional<std::string> root;  // nullopt: the value counts as missing
  };
  const Case cases[] = {
      {"/srv/store\0/elsewhere"s, "/srv/store/"},
      {"/srv/store/\0junk"s, "/srv/store/"},
      {"\0/srv/store"s, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.substr(0, c.value.find('\0')));
    ClearEventLog();
    SetConfigString("RootDir", c.value);
    EXPECT_EQ(ReadToolkitRoot(), c.root);
    EXPECT_EQ(ReadServiceRoot(log_, prepax_msg::kRegistryError), c.root.value_or("/"));
    EXPECT_EQ(EventLogEntries().size(), c.root ? 0u : 1u);
  }
}

TEST(StorageLayoutTest, PathsOfARequest) {
  const StorageLayout layout{"/srv/store/"};
  const std::string id = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
  EXPECT_EQ(layout.InboxFile(id), "/srv/store/Inbox/" + id + ".xml");
  EXPECT_EQ(layout.RequestFile(id), "/srv/store/Requests/" + id + ".xml");
  EXPECT_EQ(layout.RequestDir(id), "/srv/store/Requests/" + id);
  EXPECT_EQ(layout.ReportFile(id), "/srv/store/Reports/" + id + ".xml");
  EXPECT_EQ(layout.UserFilesDir("{0}"), "/srv/store/Files/{0}/");
}

TEST(StorageLayoutTest, ReportPathOfARequestFile) {
  EXPECT_EQ(ReportPathForRequestFile("/srv/store/Requests/{A}.xml"), "/srv/store/Reports/{A}.xml");
  // A root whose own name holds "Requests" keeps it.
  EXPECT_EQ(ReportPathForRequestFile("/srv/Requests/store/Requests/{A}.xml"),
            "/srv/Requests/store/Reports/{A}.xml");
  // A request file outside a Requests directory: every occurrence is replaced.
  EXPECT_EQ(ReportPathForRequestFile("/tmp/Requests-copy/x.xml"), "/tmp/Reports-copy/x.xml");
}

TEST(StorageLayoutTest, PlainNames) {
  EXPECT_TRUE(IsPlainName("{6B29FC40-CA47-1067-B31D-00DD010662DA}"));
  EXPECT_TRUE(IsPlainName("hello world.wav"));
  EXPECT_FALSE(IsPlainName(""));
  EXPECT_FALSE(IsPlainName("."));
  EXPECT_FALSE(IsPlainName(".."));
  EXPECT_FALSE(IsPlainName("../x"));
  EXPECT_FALSE(IsPlainName("a/b"));
  EXPECT_FALSE(IsPlainName(std::string_view("a\0b", 3)));
}

}  // namespace
}  // namespace ringwell
