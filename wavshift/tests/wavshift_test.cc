#include "ringwell/wavshift/wavshift.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "ringwell/common/class_registry.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/process.h"
#include "ringwell/wavshift/audio_format.h"
#include "test_signal.h"

namespace ringwell::wavshift {
namespace {

namespace at = ringwell::audio::testing;
namespace fs = std::filesystem;
using ringwell::testing::ListDir;
using ringwell::testing::ReadFile;
using ringwell::testing::WriteFile;

class WavshiftTest : public ringwell::testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    temp_ = scratch() + "tmp/";
    fs::create_directories(temp_);
    setenv("TMPDIR", temp_.c_str(), 1);
    ASSERT_EQ(ringwell::testing::RunProgram({ringwell::testing::ProgramPath("ringwell-regsvr"),
                                             ringwell::testing::LibraryPath("wavshift")}),
              0);
    ASSERT_EQ(CreateInstance(kWavshiftClsid, &shift_), S_OK);
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    RingwellTest::TearDown();
  }

  // The test signal: one second of 22.05 kHz 16-bit mono.
  std::string MakeSignal(const std::string& path) {
    at::WriteTestSignal(path, 22050, 1, SF_FORMAT_PCM_16, 1.0);
    return path;
  }
  // The call gave `code`, and the generic entry that ends the log and the
  // caller's error object say so, with `reason`.
  void ExpectFailure(HRESULT hr, HRESULT code, const std::string& reason) {
    EXPECT_EQ(hr, code);
    const auto entries = EventLogEntries();
    ASSERT_FALSE(entries.empty());
    const ringwell::testing::EventLogEntry& last = entries.back();
    EXPECT_EQ(last.source, "Ringwell Wavshift");
    EXPECT_EQ(last.event_id, 0xC0000001u);
    ASSERT_EQ(last.strings.size(), 2u);
    EXPECT_EQ(last.strings[0], "CWavshift::ConvertFile()");
    EXPECT_EQ(last.strings[1].rfind(ErrorText(code), 0), 0u) << last.strings[1];
    EXPECT_NE(last.strings[1].find(reason), std::string::npos) << last.strings[1];
    const auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->source, "Wavshift.Wavshift.1");
    EXPECT_EQ(info->description, "Error in CWavshift::ConvertFile(): " + last.strings[1] + "\r\n");
  }

  std::string temp_;  // the temporary directory, where nothing may be left
  ComPtr<IWavshift> shift_;
};

TEST_F(WavshiftTest, ConvertsIntoEveryFormatAndRecognisesTheResult) {
  for (const audio::AudioFormat& format : audio::AudioFormats()) {
    SCOPED_TRACE(format.Name());
    const std::string path =
        MakeSignal(root() + "Requests/" + std::to_string(format.number) + ".wav");
    fs::permissions(path, fs::perms(0640));
    ASSERT_EQ(shift_->ConvertFile(path.c_str(), format.number), S_OK);
    const at::Decoded decoded = at::Decode(path);
    EXPECT_EQ(decoded.rate, static_cast<int>(format.rate));
    EXPECT_EQ(decoded.channels, format.channels);
    EXPECT_EQ(decoded.format, format.SndfileFormat());
    // As long as the signal, to a block; the same tone in every channel.
    const std::size_t frames = at::StatedFrames(path);
    EXPECT_LE(std::abs(static_cast<double>(frames) - format.rate), format.FramesPerBlock() + 1.0);
    EXPECT_GE(decoded.frames(), frames);
    for (int c = 0; c < decoded.channels; ++c) {
      EXPECT_NEAR(decoded.AmplitudeAt(c, at::kToneHz), at::kToneAmplitude, 0.1);
    }
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));

    // Converting again recognises the format and touches nothing.
    const fs::file_time_type long_ago = fs::last_write_time(path) - std::chrono::hours(24 * 365);
    fs::last_write_time(path, long_ago);
    const std::string bytes = ReadFile(path);
    ASSERT_EQ(shift_->ConvertFile(path.c_str(), format.number), S_OK);
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_EQ(fs::last_write_time(path), long_ago);
  }
  EXPECT_TRUE(ListDir(temp_).empty());
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(WavshiftTest, StereoSourcesAreMixedIntoMono) {
  const std::string path = root() + "Requests/stereo.wav";
  at::WriteTestSignal(path, 44100, 2, SF_FORMAT_PCM_16, 0.5);
  ASSERT_EQ(shift_->ConvertFile(path.c_str(), 49), S_OK);  // 8 kHz mono mu-law
  const at::Decoded decoded = at::Decode(path);
  EXPECT_EQ(decoded.channels, 1);
  EXPECT_NEAR(decoded.AmplitudeAt(0, at::kToneHz), at::kToneAmplitude, 0.05);
}

// What cannot be converted fails with its code and reason, and leaves every
// file as it was and no temporary behind.
TEST_F(WavshiftTest, BadInputFailsAndChangesNoFile) {
  const std::string dir = root() + "Requests/";
  const std::string signal = ReadFile(MakeSignal(dir + "good.wav"));
  WriteFile(dir + "empty.wav", "");
  WriteFile(dir + "text.wav", "not audio at all");
  WriteFile(dir + "cut.wav", signal.substr(0, signal.size() / 3));
  WriteFile(dir + "header.wav", signal.substr(0, 12));
  ASSERT_EQ(::mkfifo((dir + "fifo.wav").c_str(), 0600), 0);  // must not block the open
  auto files = [&] {
    std::map<std::string, std::pair<std::string, fs::file_time_type>> all;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file())
        all[entry.path()] = {ReadFile(entry.path()), entry.last_write_time()};
    }
    return all;
  };
  const struct {
    const char* name;  // below Requests/; nullptr for no name
    std::int32_t number;
    HRESULT code;
    const char* reason;
  } cases[] = {
      {nullptr, 49, E_INVALIDARG, "No file name"},
      {"good.wav", 0, E_INVALIDARG, "Stream format 0"},
      {"good.wav", -1, E_INVALIDARG, "Stream format -1 is not a wave format"},
      {"good.wav", 1, E_INVALIDARG, "Stream format 1 is not"},
      {"good.wav", 40, E_INVALIDARG, "TrueSpeech"},
      {"good.wav", 41000, E_INVALIDARG, "Stream format 41000 is not"},
      // The file is opened before the number is checked.
      {"missing.wav", -1, HresultFromWin32(ERROR_FILE_NOT_FOUND), ""},
      {"../Nowhere/x.wav", 49, HresultFromWin32(ERROR_PATH_NOT_FOUND), ""},
      {"", 49, HresultFromErrno(EISDIR), ""},
      {"fifo.wav", 49, E_INVALIDARG, "not a regular file"},
      {"empty.wav", 49, E_INVALIDARG, "empty"},
      {"text.wav", 49, E_INVALIDARG, "RIFF/WAVE"},
      {"cut.wav", 49, E_INVALIDARG, "truncated"},
      {"header.wav", 49, E_INVALIDARG, "no fmt chunk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "no name");
    const auto before = files();
    const std::string path = dir + (c.name ? c.name : "");
    ExpectFailure(shift_->ConvertFile(c.name ? path.c_str() : nullptr, c.number), c.code, c.reason);
    EXPECT_EQ(files(), before);
  }
  EXPECT_TRUE(ListDir(temp_).empty());
}

// A temporary directory that is missing or cannot be written, a directory
// where the converted file cannot be put, and a file that cannot be read:
// each fails with the step's own entry ahead of the generic one, and the file
// keeps its content.
TEST_F(WavshiftTest, PlacesThatCannotBeWrittenOrReadChangeNothing) {
  const std::string dir = root() + "Requests/locked/";
  fs::create_directories(dir);
  const std::string path = MakeSignal(dir + "input.wav");
  const std::string bytes = ReadFile(path);
  const struct {
    std::string tmpdir;
    std::string locked;  // has `mode` during the call
    mode_t mode;
    std::uint32_t step_id;  // the step's entry ahead of the generic one, if any
    std::string step_text;
    HRESULT code;
    std::string reason;
  } cases[] = {
      {scratch() + "none/", temp_, 0700, 0xC0000001u, "::GetTempPath() failed.", E_FAIL,
       "not exist"},
      {temp_, temp_, 0500, 0xC0000001u, "::GetTempFile() failed.", E_FAIL, "No temporary"},
      // "Failed to copy file: %1." with the converted file and the target
      {temp_, dir, 0500, 0xC0000003u, ", " + path, E_FAIL, "Access is denied."},
      {temp_, path, 0200, 0, "", E_ACCESSDENIED, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step_text);
    ClearEventLog();
    setenv("TMPDIR", c.tmpdir.c_str(), 1);
    HRESULT hr = S_OK;
    {
      ringwell::testing::PermissionsEnforced enforced;
      ASSERT_EQ(::chmod(c.locked.c_str(), c.mode), 0);
      hr = shift_->ConvertFile(path.c_str(), 49);
      ::chmod(c.locked.c_str(), 0700);
    }
    const auto entries = EventLogEntries();
    ASSERT_EQ(entries.size(), c.step_id ? 2u : 1u);
    if (c.step_id) {
      EXPECT_EQ(entries[0].event_id, c.step_id);
      ASSERT_EQ(entries[0].strings.size(), 1u);
      EXPECT_NE(entries[0].strings[0].find(c.step_text), std::string::npos);
    }
    ExpectFailure(hr, c.code, c.reason);
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_EQ(ListDir(dir), std::vector<std::string>{"input.wav"});
    EXPECT_TRUE(ListDir(temp_).empty());
  }
}

TEST_F(WavshiftTest, ItCanAlsoBeCreatedByItsProgId) {
  ComPtr<IWavshift> by_progid;
  EXPECT_EQ(CreateInstance(std::string_view("Wavshift.Wavshift"), &by_progid), S_OK);
}

}  // namespace
}  // namespace ringwell::wavshift
