#include "ringwell/wavshift/wavshift.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>

#include "memory_limit.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/event_log.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"
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
    ASSERT_EQ(ringwell::testing::RunProgram({ringwell::testing::ProgramPath("ringwell-regsvr"),
                                             ringwell::testing::LibraryPath("wavshift")}),
              0);
    ASSERT_EQ(CreateInstance(kWavshiftClsid, &shift_), S_OK);
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
  // No temporary file stays beside the converted ones.
  EXPECT_EQ(ListDir(root() + "Requests/").size(), audio::AudioFormats().size());
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

// Recordings as users make them (44.1 kHz stereo, 8-bit, float, mu-law) come
// out at the format's rate and channels, as long as they were, and with the
// same tone in every channel (nothing else: no noise, no aliasing).
TEST_F(WavshiftTest, CommonRecordingsKeepTheirSound) {
  const struct {
    int rate, channels, subtype;
  } sources[] = {{44100, 2, SF_FORMAT_PCM_16},
                 {8000, 1, SF_FORMAT_PCM_U8},
                 {48000, 2, SF_FORMAT_FLOAT},
                 {11025, 1, SF_FORMAT_ULAW}};
  constexpr double kSeconds = 0.7;  // several blocks of the pipeline
  for (const auto& source : sources) {
    for (const std::int32_t number : {49, 65, 61, 64, 7}) {
      const audio::AudioFormat& format = audio::FindAudioFormat(number);
      SCOPED_TRACE(std::to_string(source.rate) + " Hz x" + std::to_string(source.channels) +
                   " -> " + format.Name());
      const std::string path = root() + "Requests/source.wav";
      at::WriteTestSignal(path, source.rate, source.channels, source.subtype, kSeconds);
      ASSERT_EQ(shift_->ConvertFile(path.c_str(), number), S_OK);
      const at::Decoded decoded = at::Decode(path);
      EXPECT_EQ(decoded.rate, static_cast<int>(format.rate));
      EXPECT_EQ(decoded.channels, format.channels);
      EXPECT_EQ(decoded.format, format.SndfileFormat());
      EXPECT_NEAR(static_cast<double>(at::StatedFrames(path)), kSeconds * format.rate,
                  format.FramesPerBlock() + 2.0);
      for (int c = 0; c < decoded.channels; ++c) {
        EXPECT_NEAR(decoded.AmplitudeAt(c, at::kToneHz), at::kToneAmplitude, 0.05);
        EXPECT_LT(decoded.AmplitudeAt(c, 1000.0), 0.02);
      }
    }
  }
  EXPECT_EQ(ListDir(root() + "Requests/"), std::vector<std::string>{"source.wav"});
}

// Header values out of bounds are refused before anything is decoded, and so
// is a recording longer than the configured limit; the bounds themselves are
// accepted.
TEST_F(WavshiftTest, HeaderValuesOutOfBoundsAreRefused) {
  SetConfigNumber("MaxAudioSeconds", 2);
  const std::string dir = root() + "Requests/";
  // A file whose fmt chunk states `rate` Hz and `channels` channels of 16-bit
  // samples, with `seconds` of audio at 8 kHz mono.
  auto make = [&](const std::string& name, std::uint32_t rate, std::uint16_t channels,
                  double seconds = 0.1) {
    const std::string path = dir + name;
    at::WriteTestSignal(path, 8000, 1, SF_FORMAT_PCM_16, seconds);
    std::string bytes = ReadFile(path);
    EXPECT_EQ(bytes.substr(12, 4), "fmt ");
    auto put = [&](std::size_t at, std::uint32_t value, int size) {
      for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
    };
    put(22, channels, 2);
    put(24, rate, 4);
    put(28, rate * channels * 2, 4);
    put(32, channels * 2u, 2);
    WriteFile(path, bytes);
    return path;
  };
  const struct {
    std::string path;
    HRESULT code;
    const char* reason;
  } cases[] = {
      {make("1hz.wav", 1, 1), E_INVALIDARG, "sample rate of 1 Hz"},
      {make("999hz.wav", 999, 1), E_INVALIDARG, "sample rate of 999 Hz"},
      {make("1khz.wav", 1000, 1), S_OK, ""},
      {make("192khz.wav", 192000, 1), S_OK, ""},
      {make("192001hz.wav", 192001, 1), E_INVALIDARG, "sample rate of 192001 Hz"},
      {make("16ch.wav", 8000, 16), S_OK, ""},
      {make("17ch.wav", 8000, 17), E_INVALIDARG, "17 channels"},
      {make("0ch.wav", 8000, 0), E_INVALIDARG, "not a readable wav file"},
      {make("long.wav", 8000, 1, 2.5), E_INVALIDARG, "more than the limit of 2 seconds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ClearEventLog();
    const std::string bytes = ReadFile(c.path);
    const HRESULT hr = shift_->ConvertFile(c.path.c_str(), 49);
    if (c.code == S_OK) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(at::Decode(c.path).rate, 8000);
      continue;
    }
    ExpectFailure(hr, c.code, c.reason);
    EXPECT_EQ(ReadFile(c.path), bytes);
  }
}

// A RIFF/WAVE file of IEEE float samples as a crafted upload may be: its fmt
// chunk states `channels`, `rate` and `block_align` as given (32 bits per
// sample), its data chunk holds `samples`, and there is no fact chunk.
std::string FloatWav(std::uint16_t channels, std::uint32_t rate, std::uint16_t block_align,
                     const std::vector<float>& samples) {
  std::string out;
  auto put = [&](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) out += static_cast<char>(value >> (8 * i));
  };
  const auto data_size = static_cast<std::uint32_t>(samples.size() * sizeof(float));
  out += "RIFF";
  put(4 + 8 + 16 + 8 + data_size, 4);
  out += "WAVEfmt ";
  put(16, 4);
  put(3, 2);  // WAVE_FORMAT_IEEE_FLOAT
  put(channels, 2);
  put(rate, 4);
  put(rate * block_align, 4);
  put(block_align, 2);
  put(32, 2);
  out += "data";
  put(data_size, 4);
  out.append(reinterpret_cast<const char*>(samples.data()), data_size);
  return out;
}

// Recordings whose float samples lie far beyond full scale, or are no numbers
// at all: the one a fuzzer found (15 channels at 17,536 Hz whose fmt chunk
// states a block align of 2 bytes) is refused before anything is decoded;
// with a block align that fits, every format's encoder gets samples within
// full scale, the A-law and mu-law tables included.
TEST_F(WavshiftTest, FloatRecordingsBeyondFullScaleAreRefusedOrClipped) {
  const std::string path = root() + "Requests/crafted.wav";
  const std::vector<float> loud(15 * 4, 3.0e38f);
  const std::string crafted = FloatWav(15, 17536, 2, loud);
  WriteFile(path, crafted);
  ExpectFailure(shift_->ConvertFile(path.c_str(), 49), E_INVALIDARG, "block align of 2 bytes");
  EXPECT_EQ(ReadFile(path), crafted);

  std::vector<float> wild;
  for (int i = 0; i < 2000; ++i) {
    for (const float value : {3.0e38f, -3.0e38f, std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(), 1.5f, -1.5f}) {
      wild.push_back(value);
    }
  }
  for (const std::int32_t number : {49, 41, 56, 48, 65, 61, 7, 4}) {
    const audio::AudioFormat& format = audio::FindAudioFormat(number);
    SCOPED_TRACE(format.Name());
    ClearEventLog();
    WriteFile(path, FloatWav(2, 17536, 8, wild));
    ASSERT_EQ(shift_->ConvertFile(path.c_str(), number), S_OK);
    const at::Decoded decoded = at::Decode(path);
    EXPECT_EQ(decoded.format, format.SndfileFormat());
    EXPECT_GT(decoded.frames(), 0u);
    for (const float sample : decoded.samples) {
      ASSERT_TRUE(std::isfinite(sample));
      ASSERT_LE(std::abs(sample), 1.0f);
    }
  }
  EXPECT_EQ(ListDir(root() + "Requests/"), std::vector<std::string>{"crafted.wav"});
}

// A long recording converts in a process that may not map more than a few
// blocks' worth of memory beyond what it has (the whole recording decoded
// would take 42 MB).
TEST_F(WavshiftTest, LongRecordingsConvertInBoundedMemory) {
  if (!ringwell::testing::MemoryLimitsUsable()) GTEST_SKIP() << "no address-space limits here";
  const std::string path = root() + "Requests/long.wav";
  at::WriteTestSignal(path, 44100, 2, SF_FORMAT_PCM_16, 120.0);
  for (const std::int32_t number : {49, 65, 61}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(ringwell::testing::RunWithMemoryHeadroom(
                  16 << 20, [&] { return shift_->ConvertFile(path.c_str(), number) == S_OK; }),
              0);
    EXPECT_EQ(at::Decode(path).rate, static_cast<int>(audio::FindAudioFormat(number).rate));
  }
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
}

// A directory where the converted file cannot be made, and a file that
// cannot be read: each fails (the first with the step's own entry ahead of
// the generic one), and the file keeps its content with nothing left beside.
TEST_F(WavshiftTest, PlacesThatCannotBeWrittenOrReadChangeNothing) {
  const std::string dir = root() + "Requests/locked/";
  fs::create_directories(dir);
  const std::string path = MakeSignal(dir + "input.wav");
  const std::string bytes = ReadFile(path);
  const struct {
    std::string locked;  // has `mode` during the call
    mode_t mode;
    bool step_entry;  // "::GetTempFile() failed." ahead of the generic entry
    HRESULT code;
    std::string reason;
  } cases[] = {
      {dir, 0500, true, E_FAIL, "No temporary file can be made beside " + path},
      {path, 0200, false, E_ACCESSDENIED, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locked);
    ClearEventLog();
    HRESULT hr = S_OK;
    {
      ringwell::testing::PermissionsEnforced enforced;
      ASSERT_EQ(::chmod(c.locked.c_str(), c.mode), 0);
      hr = shift_->ConvertFile(path.c_str(), 49);
      ::chmod(c.locked.c_str(), 0700);
    }
    const auto entries = EventLogEntries();
    ASSERT_EQ(entries.size(), c.step_entry ? 2u : 1u);
    if (c.step_entry) {
      EXPECT_EQ(entries[0].event_id, 0xC0000001u);
      EXPECT_EQ(entries[0].strings, std::vector<std::string>{"::GetTempFile() failed."});
    }
    ExpectFailure(hr, c.code, c.reason);
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_EQ(ListDir(dir), std::vector<std::string>{"input.wav"});
  }
}

// Below the storage root neither the file nor any directory on its way is
// reached through a symbolic link: a daemon running with more rights than
// the group member who planted it must not read or write elsewhere.
TEST_F(WavshiftTest, LinksBelowTheRootAreRefusedAndNothingOutsideChanges) {
  RegisterStorageRoot(root());
  const std::string outside = scratch() + "outside/";
  fs::create_directories(outside);
  const std::string secret = ReadFile(MakeSignal(outside + "secret.wav"));
  const std::string dir = root() + "Requests/ID/";
  fs::create_directories(dir);
  fs::create_symlink(outside + "secret.wav", dir + "linked.wav");
  fs::create_directory_symlink(outside, root() + "Requests/LINKED");
  for (const std::string& path : {dir + "linked.wav", root() + "Requests/LINKED/secret.wav"}) {
    SCOPED_TRACE(path);
    ClearEventLog();
    ExpectFailure(shift_->ConvertFile(path.c_str(), 49), SymbolicLinkRefused(), "");
    EXPECT_EQ(ReadFile(outside + "secret.wav"), secret);
    EXPECT_EQ(ListDir(outside), std::vector<std::string>{"secret.wav"});
    EXPECT_TRUE(fs::is_symlink(dir + "linked.wav"));
  }
}

TEST_F(WavshiftTest, ItCanAlsoBeCreatedByItsProgId) {
  ComPtr<IWavshift> by_progid;
  EXPECT_EQ(CreateInstance(std::string_view("Wavshift.Wavshift"), &by_progid), S_OK);
}

// The registration tool only loads the library and calls its entry point:
// the library registers its event source while it is being loaded.
TEST_F(WavshiftTest, LoadingTheLibraryRegistersItsEventSource) {
  const std::string source_key = CEventLog::SourceKeyPath("Ringwell Wavshift");
  {
    const registry::DropInScope sources("event-sources");
    ASSERT_EQ(registry::DeleteKeyTree(source_key), S_OK);
  }
  ASSERT_EQ(ringwell::testing::RunProgram({ringwell::testing::ProgramPath("ringwell-regsvr"),
                                           ringwell::testing::LibraryPath("wavshift")}),
            0);
  registry::Key key;
  ASSERT_EQ(registry::Key::Open(source_key, &key), S_OK);
  std::string file;
  EXPECT_EQ(key.QueryString("EventMessageFile", &file), S_OK);
  EXPECT_EQ(file, ringwell::testing::LibraryPath("wavshift"));
}

}  // namespace
}  // namespace ringwell::wavshift
