// The file store as a client meets it: wav files copied into Files/{0}/,
// described, listed and deleted, and the refusals with their messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "kel_service.h"
#include "kel_test_util.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;
using testing::ListDir;
using testing::ReadFile;
using testing::WriteFile;

class KelFileStoreTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    service_ = ComPtr<IKelService>(MakeComObject<CKelService>().Get());
    store_ = root() + "Files/{0}/";
  }

  // The description the failing call left, which must come from the service.
  std::string Description() {
    auto info = GetErrorInfo();
    if (!info) return "<none>";
    EXPECT_EQ(info->source, "Kel.KelService.1");
    return info->description;
  }

  // Name, size and date of each description in Files.
  struct Described {
    std::string name;
    std::int32_t size;
    OleDate date;
    bool operator==(const Described&) const = default;
  };
  static Described Describe(IKelFileInfo* info) {
    Described d{"", 0, 0.0};
    EXPECT_EQ(info->get_Name(&d.name), S_OK);
    EXPECT_EQ(info->get_Size(&d.size), S_OK);
    EXPECT_EQ(info->get_Date(&d.date), S_OK);
    return d;
  }
  std::vector<Described> Files() {
    ComPtr<IKelFiles> files;
    EXPECT_EQ(service_->get_Files(files.Put()), S_OK);
    std::vector<Described> described;
    if (!files) return described;
    std::int32_t count = 0;
    EXPECT_EQ(files->get_Count(&count), S_OK);
    for (std::int32_t i = 0; i < count; ++i) {
      ComPtr<IKelFileInfo> info;
      EXPECT_EQ(files->get_Item(Variant(i), info.Put()), S_OK);
      described.push_back(Describe(info.Get()));
    }
    return described;
  }

  ComPtr<IKelService> service_;
  std::string store_;
};

// The date a description must carry: the birth time where the file system
// records one, else the modification time, in whole local seconds.
OleDate ExpectedDate(const std::string& path) {
  struct statx stx {};
  EXPECT_EQ(::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &stx), 0);
  const auto& stamp = (stx.stx_mask & STATX_BTIME) != 0 ? stx.stx_btime : stx.stx_mtime;
  std::tm local{};
  const time_t seconds = stamp.tv_sec;
  localtime_r(&seconds, &local);
  return OleDateFromCivil({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min, local.tm_sec, 0})
      .value();
}

TEST_F(KelFileStoreTest, SubmitKeepsTheNameAndAcceptsOnlyWavFilesInAnyCase) {
  WriteFile(scratch() + "Hello.WAV", "RIFF one");
  WriteFile(scratch() + "hello.mp3", "ID3");
  ASSERT_EQ(service_->SubmitFile((scratch() + "Hello.WAV").c_str(), 0), S_OK);
  EXPECT_EQ(ListDir(store_), std::vector<std::string>{"Hello.WAV"});
  EXPECT_EQ(ReadFile(store_ + "Hello.WAV"), "RIFF one");

  EXPECT_EQ(service_->SubmitFile((scratch() + "hello.mp3").c_str(), 1),
            MakeHresult(kel_msg::kOnlyWavFiles));
  EXPECT_EQ(Description(), "Only wav files can be submitted.\r\n");

  // A missing source is named as given, before the location is looked at.
  const std::string missing = scratch() + "missing.wav";
  ASSERT_EQ(service_->put_Location(""), S_OK);
  EXPECT_EQ(service_->SubmitFile(missing.c_str(), 0), MakeHresult(kel_msg::kSourceFileNotFound));
  EXPECT_EQ(Description(), "Source file can not be found: " + missing + ".\r\n");
  EXPECT_EQ(service_->SubmitFile((scratch() + "Hello.WAV").c_str(), 0),
            MakeHresult(kel_msg::kLocationRequired));
  EXPECT_EQ(service_->SubmitFile(nullptr, 0), E_INVALIDARG);

  EXPECT_EQ(ListDir(store_), std::vector<std::string>{"Hello.WAV"});
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelFileStoreTest, AnExistingFileIsReplacedOnlyWhenOverwriting) {
  const std::string source = scratch() + "a.wav";
  WriteFile(source, "first");
  ASSERT_EQ(service_->SubmitFile(source.c_str(), 0), S_OK);
  WriteFile(source, "second");
  ClearErrorInfo();
  EXPECT_EQ(service_->SubmitFile(source.c_str(), 0), S_FALSE);
  EXPECT_FALSE(GetErrorInfo());
  EXPECT_EQ(ReadFile(store_ + "a.wav"), "first");
  EXPECT_EQ(service_->SubmitFile(source.c_str(), 1), S_OK);
  EXPECT_EQ(ReadFile(store_ + "a.wav"), "second");

  // A copy that fails: not copied without overwriting, a failure with it.
  std::filesystem::create_directory(scratch() + "folder.wav");
  const std::string folder = scratch() + "folder.wav";
  EXPECT_EQ(service_->SubmitFile(folder.c_str(), 0), S_FALSE);
  EXPECT_EQ(service_->SubmitFile(folder.c_str(), 1), MakeHresult(kel_msg::kCopyFileFailed));
  EXPECT_EQ(Description(), "Failed to copy file: " + folder + ".\r\n");
  EXPECT_EQ(ListDir(store_), std::vector<std::string>{"a.wav"});  // no leftovers
}

TEST_F(KelFileStoreTest, AReadOnlySourceIsStoredWritableSoItCanBeReplaced) {
  const std::string source = scratch() + "locked.wav";
  WriteFile(source, "v1");
  ASSERT_EQ(::chmod(source.c_str(), 0444), 0);
  ASSERT_EQ(service_->SubmitFile(source.c_str(), 0), S_OK);
  struct stat st {};
  ASSERT_EQ(::stat((store_ + "locked.wav").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  testing::PermissionsEnforced enforced;
  ASSERT_EQ(::chmod(source.c_str(), 0644), 0);
  WriteFile(source, "v2");
  EXPECT_EQ(service_->SubmitFile(source.c_str(), 1), S_OK);
  EXPECT_EQ(ReadFile(store_ + "locked.wav"), "v2");
  EXPECT_EQ(service_->DeleteFile("locked.wav"), S_OK);
}

TEST_F(KelFileStoreTest, WithoutTheUserDirectorySubmitFailsAndNothingIsListed) {
  std::filesystem::remove_all(store_);
  WriteFile(scratch() + "a.wav", "x");
  EXPECT_EQ(service_->SubmitFile((scratch() + "a.wav").c_str(), 1),
            MakeHresult(kel_msg::kPathNotFound));
  EXPECT_EQ(Description(), "The system cannot find path specified: " + store_ + ".\r\n");
  EXPECT_TRUE(Files().empty());
}

TEST_F(KelFileStoreTest, DescriptionsGiveNameLow32BitsOfSizeAndCreationDate) {
  WriteFile(store_ + "b.WAV", "12345");
  WriteFile(store_ + "notes.txt", "not listed");
  std::filesystem::create_directory(store_ + "folder.wav");
  // A sparse file of 4 GiB + 1234 bytes.
  const std::string big = store_ + "a.wav";
  const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, (std::int64_t{1} << 32) + 1234), 0);
  ::close(fd);

  const std::vector<Described> expected = {{"a.wav", 1234, ExpectedDate(big)},
                                           {"b.WAV", 5, ExpectedDate(store_ + "b.WAV")}};
  EXPECT_EQ(Files(), expected);
  ComPtr<IKelFileInfo> info;
  ASSERT_EQ(service_->GetFileInfo("a.wav", info.Put()), S_OK);
  EXPECT_EQ(Describe(info.Get()), expected[0]);

  // Not stored: S_FALSE and no description; a folder is no file.
  EXPECT_EQ(service_->GetFileInfo("c.wav", info.Put()), S_FALSE);
  EXPECT_FALSE(info);
  EXPECT_EQ(service_->GetFileInfo("folder.wav", info.Put()),
            MakeHresult(kel_msg::kFileAccessFailed));
  EXPECT_EQ(Description(), "Failed to access specified file: " + store_ + "folder.wav.\r\n");
}

TEST_F(KelFileStoreTest, AFileThatCannotBeOpenedFailsItsDescriptionAndTheList) {
  WriteFile(store_ + "secret.wav", "x");
  ASSERT_EQ(::chmod((store_ + "secret.wav").c_str(), 0), 0);
  testing::PermissionsEnforced enforced;
  ComPtr<IKelFileInfo> info;
  EXPECT_EQ(service_->GetFileInfo("secret.wav", info.Put()),
            MakeHresult(kel_msg::kFileAccessFailed));
  ComPtr<IKelFiles> files;
  EXPECT_EQ(service_->get_Files(files.Put()), MakeHresult(kel_msg::kFileAccessFailed));
  EXPECT_EQ(Description(), "Failed to access specified file: " + store_ + "secret.wav.\r\n");
  EXPECT_FALSE(files);
}

TEST_F(KelFileStoreTest, DeleteRemovesAStoredFileAndRefusesNamesOutsideTheStore) {
  WriteFile(store_ + "a.wav", "x");
  WriteFile(root() + "Files/outside.wav", "x");
  EXPECT_EQ(service_->DeleteFile("a.wav"), S_OK);
  EXPECT_TRUE(ListDir(store_).empty());
  EXPECT_EQ(service_->DeleteFile("a.wav"), MakeHresult(kel_msg::kDeleteFileFailed));
  EXPECT_EQ(Description(), "Failed to delete file: " + store_ + "a.wav.\r\n");

  ComPtr<IKelFileInfo> info;
  for (const char* name : {"../outside.wav", "..", "", "sub/a.wav"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(service_->DeleteFile(name), MakeHresult(kel_msg::kForbiddenFileNameCharacters));
    EXPECT_EQ(Description(), "A filename cannot contain any of the following characters: /.\r\n");
    EXPECT_EQ(service_->GetFileInfo(name, info.Put()),
              MakeHresult(kel_msg::kForbiddenFileNameCharacters));
  }
  EXPECT_EQ(ReadFile(root() + "Files/outside.wav"), "x");
  EXPECT_TRUE(EventLogEntries().empty());
}

}  // namespace
}  // namespace ringwell::kel
