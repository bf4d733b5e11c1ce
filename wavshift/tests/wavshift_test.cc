#include "ringwell/wavshift/wavshift.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/files.h"
#include "ringwell/common/registry.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/wavshift/audio_format.h"
#include "test_signal.h"

namespace ringwell::wavshift {
namespace {

namespace at = ringwell::audio::testing;
using ringwell::testing::EventLogEntry;
using ringwell::testing::LibraryPath;
using ringwell::testing::ReadFile;
using ringwell::testing::RingwellTest;
using ringwell::testing::WriteFile;

constexpr char kOperation[] = "CWavshift::ConvertFile()";

class WavshiftTest : public RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    temp_ = scratch() + "tmp/";
    std::filesystem::create_directories(temp_);
    setenv("TMPDIR", temp_.c_str(), 1);
    void* library = dlopen(LibraryPath("wavshift").c_str(), RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    auto reg = reinterpret_cast<DllRegisterServerFn>(dlsym(library, "DllRegisterServer"));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
    ASSERT_EQ(CreateInstance(kWavshiftClsid, &shift_), S_OK);
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    RingwellTest::TearDown();
  }

  // The test signal: one second of 22.05 kHz 16-bit mono.
  std::string MakeSignal(const std::string& name) {
    const std::string path = root() + "Requests/" + name;
    at::WriteTestSignal(path, 22050, 1, SF_FORMAT_PCM_16, 1.0);
    return path;
  }
  std::vector<std::string> Temporaries() const { return at::EntriesStartingWith(temp_, "wav"); }
  // The generic entry of a failed conversion ends the log.
  void ExpectGenericEntry(const std::string& text_part) {
    const auto entries = EventLogEntries();
    ASSERT_FALSE(entries.empty());
    const EventLogEntry& last = entries.back();
    EXPECT_EQ(last.source, "Ringwell Wavshift");
    EXPECT_EQ(last.event_id, 0xC0000001u);
    ASSERT_EQ(last.strings.size(), 2u);
    EXPECT_EQ(last.strings[0], kOperation);
    EXPECT_NE(last.strings[1].find(text_part), std::string::npos) << last.strings[1];
    auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->source, "Wavshift.Wavshift.1");
    EXPECT_EQ(info->description, "Error in CWavshift::ConvertFile(): " + last.strings[1] + "\r\n");
  }

  std::string temp_;
  ComPtr<IWavshift> shift_;
};

TEST_F(WavshiftTest, ConvertsIntoEveryFormatAndRecognisesTheResult) {
  for (const audio::AudioFormat& format : audio::AudioFormats()) {
    SCOPED_TRACE(format.Name());
    const std::string path = MakeSignal(std::to_string(format.number) + ".wav");
    ASSERT_EQ(shift_->ConvertFile(path.c_str(), format.number), S_OK);

    const at::Decoded decoded = at::Decode(path);
    EXPECT_EQ(decoded.rate, static_cast<int>(format.rate));
    EXPECT_EQ(decoded.channels, format.channels);
    EXPECT_EQ(decoded.format, format.SndfileFormat());
    const std::size_t frames = at::StatedFrames(path);
    EXPECT_LE(std::abs(static_cast<double>(frames) - format.rate), format.FramesPerBlock() + 1.0);
    EXPECT_GE(decoded.frames(), frames);
    // The same tone in every channel, at its pitch.
    for (int c = 0; c < decoded.channels; ++c) {
      EXPECT_NEAR(at::AmplitudeAt(decoded.Channel(c), decoded.rate, at::kToneHz),
                  at::kToneAmplitude, 0.1);
    }

    // Converting again recognises the format and touches nothing.
    at::SetOldModificationTime(path);
    const std::string bytes = ReadFile(path);
    const timespec before = at::ModificationTime(path);
    ASSERT_EQ(shift_->ConvertFile(path.c_str(), format.number), S_OK);
    EXPECT_EQ(ReadFile(path), bytes);
    const timespec after = at::ModificationTime(path);
    EXPECT_EQ(after.tv_sec, before.tv_sec);
    EXPECT_EQ(after.tv_nsec, before.tv_nsec);
  }
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(WavshiftTest, StereoSourcesAreMixedIntoMono) {
  const std::string path = root() + "Requests/stereo.wav";
  at::WriteTestSignal(path, 44100, 2, SF_FORMAT_PCM_16, 0.5);
  ASSERT_EQ(shift_->ConvertFile(path.c_str(), 49), S_OK);  // 8 kHz mono mu-law
  const at::Decoded decoded = at::Decode(path);
  EXPECT_EQ(decoded.channels, 1);
  EXPECT_NEAR(at::AmplitudeAt(decoded.samples, 8000, at::kToneHz), at::kToneAmplitude, 0.05);
}

TEST_F(WavshiftTest, RefusedArgumentsLeaveTheFileAlone) {
  const std::string path = MakeSignal("input.wav");
  at::SetOldModificationTime(path);
  const std::string bytes = ReadFile(path);

  EXPECT_EQ(shift_->ConvertFile(nullptr, 49), E_INVALIDARG);
  ExpectGenericEntry("The parameter is incorrect.");
  EXPECT_EQ(shift_->ConvertFile(path.c_str(), 0), E_INVALIDARG);
  ExpectGenericEntry("The parameter is incorrect.");
  for (std::int32_t number : {-1, 1, 40, 41000}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(shift_->ConvertFile(path.c_str(), number), E_INVALIDARG);
    ExpectGenericEntry(number == 40 ? "TrueSpeech" : std::to_string(number));
  }
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(at::ModificationTime(path).tv_sec, 1000000000);
  // The file is opened before the number is checked.
  const std::string missing = root() + "Requests/missing.wav";
  EXPECT_EQ(shift_->ConvertFile(missing.c_str(), -1), HresultFromWin32(ERROR_FILE_NOT_FOUND));
  ExpectGenericEntry("The system cannot find the file specified.");
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(WavshiftTest, UnreadableSourcesFailWithTheirReason) {
  const std::string good = ReadFile(MakeSignal("good.wav"));
  struct Case {
    std::string name;
    std::string content;
    HRESULT code;
    std::string reason;
  };
  const Case cases[] = {
      {"empty.wav", "", E_INVALIDARG, "empty"},
      {"text.wav", "not audio at all", E_INVALIDARG, "RIFF/WAVE"},
      {"cut.wav", good.substr(0, good.size() / 3), E_INVALIDARG, "truncated"},
      {"header.wav", good.substr(0, 12), E_INVALIDARG, "no fmt chunk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = root() + "Requests/" + c.name;
    WriteFile(path, c.content);
    EXPECT_EQ(shift_->ConvertFile(path.c_str(), 49), c.code);
    ExpectGenericEntry(c.reason);
    EXPECT_EQ(ReadFile(path), c.content);
  }
  const std::string dir = root() + "Requests/";
  EXPECT_EQ(shift_->ConvertFile(dir.c_str(), 49), HresultFromErrno(EISDIR));
  const std::string no_dir = root() + "Nowhere/x.wav";
  EXPECT_EQ(shift_->ConvertFile(no_dir.c_str(), 49), HresultFromWin32(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(WavshiftTest, TemporaryDirectoryFailuresAreReported) {
  const std::string path = MakeSignal("input.wav");
  const std::string bytes = ReadFile(path);
  setenv("TMPDIR", (scratch() + "no-such-dir").c_str(), 1);
  EXPECT_EQ(shift_->ConvertFile(path.c_str(), 49), E_FAIL);
  auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].event_id, 0xC0000001u);
  EXPECT_EQ(entries[0].strings, std::vector<std::string>{"::GetTempPath() failed."});
  ExpectGenericEntry("Unspecified error");

  ClearEventLog();
  setenv("TMPDIR", temp_.c_str(), 1);
  {
    ringwell::testing::PermissionsEnforced enforced;
    ASSERT_EQ(::chmod(temp_.c_str(), 0500), 0);
    EXPECT_EQ(shift_->ConvertFile(path.c_str(), 49), E_FAIL);
    ::chmod(temp_.c_str(), 0700);
  }
  entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].strings, std::vector<std::string>{"::GetTempFile() failed."});
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_TRUE(Temporaries().empty());
}

// The converted output is copied beside the file and renamed over it: when
// that fails the file keeps its content and no temporary is left anywhere.
TEST_F(WavshiftTest, AFileThatCannotBeReplacedKeepsItsContent) {
  const std::string dir = root() + "Requests/locked/";
  std::filesystem::create_directories(dir);
  const std::string path = dir + "input.wav";
  at::WriteTestSignal(path, 22050, 1, SF_FORMAT_PCM_16, 1.0);
  const std::string bytes = ReadFile(path);
  {
    ringwell::testing::PermissionsEnforced enforced;
    ASSERT_EQ(::chmod(dir.c_str(), 0500), 0);
    EXPECT_EQ(shift_->ConvertFile(path.c_str(), 49), E_FAIL);
    ::chmod(dir.c_str(), 0700);
  }
  const auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].event_id, 0xC0000003u);  // "Failed to copy file: %1."
  ASSERT_EQ(entries[0].strings.size(), 1u);
  EXPECT_NE(entries[0].strings[0].find(", " + path), std::string::npos);
  ExpectGenericEntry("Access is denied.");
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(ringwell::testing::ListDir(dir), std::vector<std::string>{"input.wav"});
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(WavshiftTest, AConvertedFileKeepsItsMode) {
  const std::string path = MakeSignal("shared.wav");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(shift_->ConvertFile(path.c_str(), 65), S_OK);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(WavshiftTest, RegistrationDescribesTheClass) {
  registry::Key key;
  std::string value;
  ASSERT_EQ(registry::Key::Open(ClassKeyPath(kWavshiftClsid) + "\\InprocServer32", &key), S_OK);
  ASSERT_EQ(key.QueryString("", &value, 4096), S_OK);
  EXPECT_EQ(BaseNameOf(value), "libwavshift.so");
  ASSERT_EQ(key.QueryString("ThreadingModel", &value), S_OK);
  EXPECT_EQ(value, "Apartment");
  ComPtr<IWavshift> by_progid;
  EXPECT_EQ(CreateInstance(std::string_view("Wavshift.Wavshift"), &by_progid), S_OK);
  ComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(shift_.As(&support), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IWavshift::kIid), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IUnknown::kIid), S_FALSE);
}

}  // namespace
}  // namespace ringwell::wavshift
