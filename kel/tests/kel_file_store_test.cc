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

constexpr char kSource[] = "Kel.KelService.1: ";

// "name size date" of a description.
std::string Describe(IKelFileInfo* info) {
  std::string name;
  std::int32_t size = 0;
  OleDate date = 0;
  EXPECT_EQ(info->get_Name(&name), S_OK);
  EXPECT_EQ(info->get_Size(&size), S_OK);
  EXPECT_EQ(info->get_Date(&date), S_OK);
  return name + " " + std::to_string(size) + " " + OleDateToIso(date);
}

// The date a description must carry: the birth time where the file system
// records one, else the modification time, in whole local seconds.
std::string ExpectedDate(const std::string& path) {
  struct statx stx {};
  EXPECT_EQ(::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &stx), 0);
  const time_t seconds =
      (stx.stx_mask & STATX_BTIME) != 0 ? stx.stx_btime.tv_sec : stx.stx_mtime.tv_sec;
  std::tm local{};
  localtime_r(&seconds, &local);
  return OleDateToIso(OleDateFromCivil({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                        local.tm_hour, local.tm_min, local.tm_sec, 0})
                          .value());
}

class KelFileStoreTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    service_ = ComPtr<IKelService>(MakeComObject<CKelService>().Get());
    store_ = root() + "Files/{0}/";
  }
  HRESULT Submit(const std::string& path, std::int32_t overwrite) {
    return service_->SubmitFile(path.c_str(), overwrite);
  }
  // The descriptions Files gives, in order; {"<failed>"} when it fails.
  std::vector<std::string> Files() {
    ComPtr<IKelFiles> files;
    std::int32_t count = 0;
    if (service_->get_Files(files.Put()) != S_OK) return {"<failed>"};
    EXPECT_EQ(files->get_Count(&count), S_OK);
    std::vector<std::string> described;
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

TEST_F(KelFileStoreTest, SubmitKeepsTheNameAndAcceptsOnlyWavFilesInAnyCase) {
  WriteFile(scratch() + "Hello.WAV", "RIFF one");
  WriteFile(scratch() + "hello.mp3", "ID3");
  ASSERT_EQ(Submit(scratch() + "Hello.WAV", 0), S_OK);
  EXPECT_EQ(ReadFile(store_ + "Hello.WAV"), "RIFF one");
  EXPECT_EQ(Submit(scratch() + "hello.mp3", 1), MakeHresult(kel_msg::kOnlyWavFiles));
  EXPECT_EQ(TakeError(), kSource + std::string("Only wav files can be submitted.\r\n"));

  // A missing source is named as given, before the location is looked at.
  ASSERT_EQ(service_->put_Location(""), S_OK);
  EXPECT_EQ(Submit(scratch() + "missing.wav", 0), MakeHresult(kel_msg::kSourceFileNotFound));
  EXPECT_EQ(TakeError(),
            kSource + ("Source file can not be found: " + scratch()) + "missing.wav.\r\n");
  EXPECT_EQ(Submit(scratch() + "Hello.WAV", 0), MakeHresult(kel_msg::kLocationRequired));
  EXPECT_EQ(ListDir(store_), std::vector<std::string>{"Hello.WAV"});
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelFileStoreTest, AnExistingFileIsReplacedOnlyWhenOverwriting) {
  // A read-only source is stored writable, so it can be replaced.
  const std::string source = scratch() + "a.wav";
  WriteFile(source, "first");
  ASSERT_EQ(::chmod(source.c_str(), 0444), 0);
  ASSERT_EQ(Submit(source, 0), S_OK);
  struct stat st {};
  ASSERT_EQ(::stat((store_ + "a.wav").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::chmod(source.c_str(), 0644), 0);
  WriteFile(source, "second");
  testing::PermissionsEnforced enforced;
  EXPECT_EQ(Submit(source, 0), S_FALSE);
  EXPECT_EQ(TakeError(), "<none>");
  EXPECT_EQ(ReadFile(store_ + "a.wav"), "first");
  EXPECT_EQ(Submit(source, 1), S_OK);
  EXPECT_EQ(ReadFile(store_ + "a.wav"), "second");

  // A copy that fails: not copied without overwriting, a failure with it.
  const std::string folder = scratch() + "folder.wav";
  std::filesystem::create_directory(folder);
  EXPECT_EQ(Submit(folder, 0), S_FALSE);
  EXPECT_EQ(Submit(folder, 1), MakeHresult(kel_msg::kCopyFileFailed));
  EXPECT_EQ(TakeError(), kSource + ("Failed to copy file: " + folder) + ".\r\n");
  EXPECT_EQ(ListDir(store_), std::vector<std::string>{"a.wav"});  // no leftovers
}

TEST_F(KelFileStoreTest, WithoutTheUserDirectorySubmitFailsAndNothingIsListed) {
  std::filesystem::remove_all(store_);
  WriteFile(scratch() + "a.wav", "x");
  EXPECT_EQ(Submit(scratch() + "a.wav", 1), MakeHresult(kel_msg::kPathNotFound));
  EXPECT_EQ(TakeError(), kSource + ("The system cannot find path specified: " + store_) + ".\r\n");
  EXPECT_TRUE(Files().empty());
}

TEST_F(KelFileStoreTest, DescriptionsGiveNameLow32BitsOfSizeAndCreationDateOrFail) {
  WriteFile(store_ + "b.WAV", "12345");
  WriteFile(store_ + "notes.txt", "not listed");
  std::filesystem::create_directory(store_ + "folder.wav");
  const std::string big = store_ + "a.wav";  // sparse, 4 GiB + 1234 bytes
  const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, (std::int64_t{1} << 32) + 1234), 0);
  ::close(fd);

  const std::string a = "a.wav 1234 " + ExpectedDate(big);
  EXPECT_EQ(Files(), (std::vector<std::string>{a, "b.WAV 5 " + ExpectedDate(store_ + "b.WAV")}));
  ComPtr<IKelFileInfo> info;
  ASSERT_EQ(service_->GetFileInfo("a.wav", info.Put()), S_OK);
  EXPECT_EQ(Describe(info.Get()), a);

  // Not stored: S_FALSE and no description; a folder is no file.
  EXPECT_EQ(service_->GetFileInfo("c.wav", info.Put()), S_FALSE);
  EXPECT_FALSE(info);
  EXPECT_EQ(service_->GetFileInfo("folder.wav", info.Put()),
            MakeHresult(kel_msg::kFileAccessFailed));
  EXPECT_EQ(TakeError(),
            kSource + ("Failed to access specified file: " + store_) + "folder.wav.\r\n");

  // A file that cannot be opened fails its description and the list.
  ASSERT_EQ(::chmod((store_ + "b.WAV").c_str(), 0), 0);
  testing::PermissionsEnforced enforced;
  EXPECT_EQ(service_->GetFileInfo("b.WAV", info.Put()), MakeHresult(kel_msg::kFileAccessFailed));
  ComPtr<IKelFiles> files;
  EXPECT_EQ(service_->get_Files(files.Put()), MakeHresult(kel_msg::kFileAccessFailed));
  EXPECT_EQ(TakeError(), kSource + ("Failed to access specified file: " + store_) + "b.WAV.\r\n");
  EXPECT_FALSE(files);
}

TEST_F(KelFileStoreTest, DeleteRemovesAStoredFileAndRefusesNamesOutsideTheStore) {
  WriteFile(store_ + "a.wav", "x");
  WriteFile(root() + "Files/outside.wav", "x");
  EXPECT_EQ(service_->DeleteFile("a.wav"), S_OK);
  EXPECT_TRUE(ListDir(store_).empty());
  EXPECT_EQ(service_->DeleteFile("a.wav"), MakeHresult(kel_msg::kDeleteFileFailed));
  EXPECT_EQ(TakeError(), kSource + ("Failed to delete file: " + store_) + "a.wav.\r\n");

  ComPtr<IKelFileInfo> info;
  for (const char* name : {"../outside.wav", "..", "", "sub/a.wav"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(service_->DeleteFile(name), MakeHresult(kel_msg::kForbiddenFileNameCharacters));
    EXPECT_EQ(TakeError(),
              kSource + std::string("A filename cannot contain any of the following characters: "
                                    "/.\r\n"));
    EXPECT_EQ(service_->GetFileInfo(name, info.Put()),
              MakeHresult(kel_msg::kForbiddenFileNameCharacters));
  }
  EXPECT_EQ(ReadFile(root() + "Files/outside.wav"), "x");
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelFileStoreTest, LinksPlantedInTheStoreOrReportsAreNeverFollowed) {
  const std::string outside = scratch() + "outside/";
  std::filesystem::create_directories(outside);
  WriteFile(outside + "secret.wav", "secret");
  WriteFile(outside + "report.xml", "<Report ID=\"x\" Status=\"Foreign\"/>");
  WriteFile(scratch() + "new.wav", "RIFF new");
  auto outside_state = [&] {
    std::string state;
    for (const auto& name : ListDir(outside)) state += name + "=" + ReadFile(outside + name) + ";";
    return state;
  };
  const std::string before = outside_state();

  // A stored file that is a link: neither described nor listed; deleting it
  // deletes the link.
  std::filesystem::create_symlink(outside + "secret.wav", store_ + "link.wav");
  ComPtr<IKelFileInfo> info;
  EXPECT_EQ(service_->GetFileInfo("link.wav", info.Put()), MakeHresult(kel_msg::kFileAccessFailed));
  EXPECT_FALSE(info);
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(service_->DeleteFile("link.wav"), S_OK);
  EXPECT_TRUE(ListDir(store_).empty());

  // A report that is a link is not read.
  const std::string id = "{6D1B5E0A-0000-4000-8000-000000000002}";
  std::filesystem::create_symlink(outside + "report.xml", root() + "Reports/" + id + ".xml");
  ComPtr<IKelReport> report;
  EXPECT_TRUE(Failed(service_->GetReport(id.c_str(), report.Put())));
  EXPECT_FALSE(report);

  // The store's directory replaced by a link: nothing is written through it.
  std::filesystem::remove(store_);
  std::filesystem::create_directory_symlink(outside, root() + "Files/{0}");
  EXPECT_TRUE(Failed(Submit(scratch() + "new.wav", 1)));
  EXPECT_EQ(Files(), std::vector<std::string>{});
  EXPECT_TRUE(Failed(service_->DeleteFile("secret.wav")));
  EXPECT_EQ(outside_state(), before);
}

}  // namespace
}  // namespace ringwell::kel
