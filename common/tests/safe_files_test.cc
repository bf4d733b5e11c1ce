// Symbolic links planted below the storage root are never followed by the
// file helpers every component uses; outside the root they behave as usual.
#include "ringwell/common/safe_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "ringwell/common/directory_lock.h"
#include "ringwell/common/files.h"
#include "ringwell/common/xml.h"
#include "ringwell/testing/fixture.h"

namespace ringwell {
namespace {

namespace fs = std::filesystem;
using testing::ListDir;
using testing::ReadFile;
using testing::WriteFile;

class SafeFilesTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    RegisterStorageRoot(root());
    outside_ = scratch() + "outside/";
    fs::create_directories(outside_);
    WriteFile(outside_ + "secret.xml", "<Secret/>");
  }
  // Everything outside the root, with its content: a planted link must leave
  // it exactly as it was.
  std::string OutsideState() {
    std::string state;
    for (const auto& name : ListDir(outside_))
      state += name + "=" + ReadFile(outside_ + name) + ";";
    return state;
  }
  std::string outside_;
};

TEST_F(SafeFilesTest, EveryOperationRefusesALinkBelowTheRoot) {
  fs::create_symlink(outside_ + "secret.xml", root() + "Inbox/link.xml");
  fs::create_symlink(outside_, root() + "Requests/{ID}");
  fs::create_symlink(outside_, root() + "Files/evil");
  fs::create_symlink(outside_ + "created", root() + "Reports/.{R}.xml.lock");
  WriteFile(root() + "Inbox/real.xml", "<Real/>");
  const std::string before = OutsideState();

  struct Case {
    const char* name;
    std::function<HRESULT()> operation;
  };
  std::string text;
  const Case cases[] = {
      {"read a linked file", [&] { return ReadWholeFile(root() + "Inbox/link.xml", &text); }},
      {"read through a linked directory",
       [&] { return ReadWholeFile(root() + "Requests/{ID}/secret.xml", &text); }},
      {"load XML through a link",
       [&] {
         xml::Document document;
         std::string reason;
         document.Load(root() + "Inbox/link.xml", &reason);
         return document.FirstChild() ? S_OK : SymbolicLinkRefused();
       }},
      {"save into a linked directory",
       [&] { return WriteFileAtomically(root() + "Requests/{ID}/new.xml", "<New/>"); }},
      {"copy into a linked directory",
       [&] { return CopyRegularFile(root() + "Inbox/real.xml", root() + "Files/evil/x.wav"); }},
      {"copy from a linked file",
       [&] { return CopyRegularFile(root() + "Inbox/link.xml", root() + "Inbox/copy.xml"); }},
      {"lock through a linked lock file",
       [&] {
         FileLock lock;
         return FileLock::Acquire(root() + "Reports/{R}.xml", &lock);
       }},
      {"make a unique file in a linked directory",
       [&] { return MakeUniqueFile(root() + "Files/evil", "wav", ".tmp", &text); }},
      {"delete in a linked directory",
       [&] { return RemoveFile(root() + "Files/evil/secret.xml"); }},
      {"make a directory in a linked directory",
       [&] { return MakeDirectory(root() + "Requests/{ID}/sub"); }},
      {"list a linked directory",
       [&] {
         std::vector<DirectoryEntry> entries;
         return ListDirectory(root() + "Requests/{ID}/", &entries);
       }},
      {"delete the files of a linked directory",
       [&] { return RemoveDirectoryFiles(root() + "Requests/{ID}/"); }},
      {"rename into a linked directory",
       [&] { return RenameEntry(root() + "Inbox/link.xml", root() + "Files/evil/moved.xml"); }},
      {"step up with ..",
       [&] { return ReadWholeFile(root() + "Inbox/../../scratch/outside/secret.xml", &text); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HRESULT hr = c.operation();
    EXPECT_TRUE(Failed(hr)) << hr;
    EXPECT_EQ(OutsideState(), before);
  }
  EXPECT_EQ(ReadWholeFile(root() + "Inbox/link.xml", &text), SymbolicLinkRefused());
  EXPECT_EQ(ErrorText(SymbolicLinkRefused()), "Too many levels of symbolic links");
  // The links themselves are still there, and a link can be deleted as such.
  EXPECT_TRUE(fs::is_symlink(root() + "Requests/{ID}"));
  EXPECT_EQ(RemoveFile(root() + "Inbox/link.xml"), S_OK);
  EXPECT_TRUE(fs::exists(outside_ + "secret.xml"));
}

TEST_F(SafeFilesTest, OrdinaryFilesBelowTheRootAndLinksOutsideItWork) {
  ASSERT_EQ(WriteFileAtomically(root() + "Reports/{R}.xml", "<Report/>"), S_OK);
  std::string text;
  ASSERT_EQ(ReadWholeFile(root() + "Reports/{R}.xml", &text), S_OK);
  EXPECT_EQ(text, "<Report/>");
  EXPECT_EQ(ListDir(root() + "Reports"), std::vector<std::string>{"{R}.xml"});
  FileLock lock;
  EXPECT_EQ(FileLock::Acquire(root() + "Reports/{R}.xml", &lock), S_OK);
  EXPECT_EQ(MakeDirectory(root() + "Requests/{ID}"), S_OK);
  EXPECT_EQ(MakeDirectory(root() + "Requests/{ID}"), HresultFromWin32(ERROR_FILE_EXISTS));
  ASSERT_EQ(CopyRegularFile(root() + "Reports/{R}.xml", root() + "Requests/{ID}/a.wav"), S_OK);
  EXPECT_EQ(RenameEntry(root() + "Requests/{ID}/a.wav", root() + "Requests/{ID}/b.wav"), S_OK);
  EXPECT_EQ(RemoveDirectoryFiles(root() + "Requests/{ID}/"), S_OK);
  EXPECT_FALSE(fs::exists(root() + "Requests/{ID}"));
  EXPECT_EQ(ReadWholeFile(root() + "Inbox/none.xml", &text),
            HresultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadWholeFile(root() + "None/none.xml", &text), HresultFromWin32(ERROR_PATH_NOT_FOUND));

  // Outside every storage root (a registry file, say) links are followed.
  fs::create_symlink(outside_ + "secret.xml", scratch() + "link.xml");
  ASSERT_EQ(ReadWholeFile(scratch() + "link.xml", &text), S_OK);
  EXPECT_EQ(text, "<Secret/>");
  // But a directory whose files are deleted is never a link, wherever it is.
  fs::create_symlink(outside_, scratch() + "dir");
  EXPECT_EQ(RemoveDirectoryFiles(scratch() + "dir/"), SymbolicLinkRefused());
  EXPECT_TRUE(fs::exists(outside_ + "secret.xml"));
}

// A member of the spool's group with a private umask still makes files the
// daemon (another user in the group) can read, and lock files it can lock.
TEST_F(SafeFilesTest, FilesInAGroupSharedDirectoryAreTheGroupsWhateverTheUmask) {
  struct Writer {
    const char* what;
    std::function<HRESULT(const std::string& dir)> write;  // returns the path through `made`
    std::string made;
  };
  const std::vector<Writer> writers = {
      {"a request or report",
       [](const std::string& dir) { return WriteFileAtomically(dir + "a.xml", "<A/>"); }, "a.xml"},
      {"a report's lock",
       [](const std::string& dir) {
         DirectoryLock lock;
         return DirectoryLock::Acquire(dir + "a.xml", &lock);
       },
       ".lock"},
      {"a copied file",
       [&](const std::string& dir) {
         return CopyRegularFile(outside_ + "secret.xml", dir + "b.wav");
       },
       "b.wav"},
  };
  const mode_t old_umask = ::umask(077);
  for (const Writer& writer : writers) {
    for (const bool shared : {true, false}) {
      SCOPED_TRACE(std::string(writer.what) +
                   (shared ? " in a shared directory" : " in a private one"));
      const std::string dir = root() + (shared ? "Reports/" : "Requests/");
      fs::create_directories(dir);
      ASSERT_EQ(::chmod(dir.c_str(), shared ? 02770 : 0700), 0);
      ASSERT_EQ(writer.write(dir), S_OK);
      const auto perms = fs::status(dir + writer.made).permissions();
      EXPECT_EQ(perms & fs::perms::group_all,
                shared ? fs::perms::group_read | fs::perms::group_write : fs::perms::none);
      EXPECT_EQ(perms & fs::perms::others_all, fs::perms::none);  // the umask holds for others
      fs::remove(dir + writer.made);
    }
  }
  ::umask(old_umask);
}

}  // namespace
}  // namespace ringwell
