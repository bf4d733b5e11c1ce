// Directory listings on a file system that gives no entry types (d_type
// DT_UNKNOWN, as XFS without ftype and several network file systems do),
// while other processes remove entries: the daemon lists Inbox while group
// members and the toolkit add and remove files in it.
//
// The kernel cannot be made to drop an entry between readdir and the stat
// that asks for its type, so this binary's readdir stands in for such a file
// system while a VanishingEntries object lives: each entry it returns has no
// type and is removed just before it is returned. Outside that scope readdir
// is the C library's.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "ringwell/common/safe_files.h"
#include "ringwell/testing/fixture.h"

namespace {

std::atomic<bool> g_vanishing{false};

class VanishingEntries {
 public:
  VanishingEntries() { g_vanishing = true; }
  ~VanishingEntries() { g_vanishing = false; }
  VanishingEntries(const VanishingEntries&) = delete;
  VanishingEntries& operator=(const VanishingEntries&) = delete;
};

}  // namespace

extern "C" struct dirent* readdir(DIR* dir) {
  using Readdir = struct dirent* (*)(DIR*);
  static const auto next = reinterpret_cast<Readdir>(::dlsym(RTLD_NEXT, "readdir"));
  struct dirent* entry = next(dir);
  if (entry != nullptr && g_vanishing && std::strcmp(entry->d_name, ".") != 0 &&
      std::strcmp(entry->d_name, "..") != 0) {
    entry->d_type = DT_UNKNOWN;
    ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  return entry;
}

namespace ringwell {
namespace {

using testing::WriteFile;

class DirectoryListingTest : public testing::RingwellTest {};

TEST_F(DirectoryListingTest, EntriesThatVanishWhileListedDoNotFailTheListing) {
  RegisterStorageRoot(root());
  for (const char* name : {"a.xml", "b.xml", "c.xml"}) WriteFile(root() + "Inbox/" + name, "<R/>");
  std::vector<DirectoryEntry> entries;
  {
    const VanishingEntries vanishing;
    ASSERT_EQ(ListDirectory(root() + "Inbox/", &entries), S_OK);
  }
  // Each was listed; none could be typed any more.
  ASSERT_EQ(entries.size(), 3u);
  for (const DirectoryEntry& entry : entries) {
    EXPECT_EQ(entry.type, DirectoryEntry::Type::kOther) << entry.name;
  }
  // An ordinary listing of the now empty directory.
  ASSERT_EQ(ListDirectory(root() + "Inbox/", &entries), S_OK);
  EXPECT_TRUE(entries.empty());
}

}  // namespace
}  // namespace ringwell
