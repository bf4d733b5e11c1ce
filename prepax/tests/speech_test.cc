#include "speech.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

#include "ringwell/common/error_info.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::prepax {
namespace {

using ringwell::testing::EventLogEntry;
using ringwell::testing::ListDir;
using ringwell::testing::ReadFile;
using ringwell::testing::RingwellTest;
using ringwell::testing::WriteFile;

constexpr char kText[] = "Your appointment is tomorrow at ten o'clock.";
constexpr std::int32_t kDefaultVolume = -1;   // outside 0..100: the engine's own
constexpr std::int32_t kDefaultRate = -1000;  // what the request processor passes

struct Audio {
  int rate = 0;
  int channels = 0;
  int format = 0;
  std::vector<float> samples;
  double Seconds() const { return rate == 0 ? 0 : samples.size() / double(rate * channels); }
  float Peak() const {
    float peak = 0;
    for (float s : samples) peak = std::max(peak, std::abs(s));
    return peak;
  }
};

Audio Decode(const std::string& path) {
  Audio audio;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  if (file == nullptr) return audio;
  audio.rate = info.samplerate;
  audio.channels = info.channels;
  audio.format = info.format;
  audio.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
  sf_readf_float(file, audio.samples.data(), info.frames);
  sf_close(file);
  return audio;
}

class SpeechTest : public RingwellTest {
 protected:
  // A speech object initialised with `format` configured (nothing for -1).
  ComPtr<ISpeech> MakeSpeech(std::int32_t format) {
    if (format != -1) SetConfigNumber("AudioFormat", static_cast<std::uint32_t>(format));
    ComPtr<ISpeech> speech = MakeComObject<CSpeech>();
    EXPECT_EQ(speech->Initialize(), S_OK);
    return speech;
  }
  std::string Path(const std::string& name) const { return scratch() + name; }
  // The caller's error object and the last event-log entry of a failure.
  void ExpectFailureReported(const std::string& text_part) {
    auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->source, "Prepax.Speech.1");
    const auto entries = EventLogEntries();
    ASSERT_FALSE(entries.empty());
    const EventLogEntry& last = entries.back();
    EXPECT_EQ(last.source, "Ringwell Prepax");
    EXPECT_EQ(last.event_id, 0xC0000001u);
    ASSERT_EQ(last.strings.size(), 2u);
    EXPECT_EQ(last.strings[0], "CSpeech::GenerateVoiceFile()");
    EXPECT_NE(last.strings[1].find(text_part), std::string::npos) << last.strings[1];
    EXPECT_EQ(info->description,
              "Error in CSpeech::GenerateVoiceFile(): " + last.strings[1] + "\r\n");
  }
};

TEST_F(SpeechTest, SpeaksIntoTheConfiguredFormat) {
  struct Case {
    std::int32_t number;
    int rate, channels, format;
  };
  for (const Case& c : {Case{22, 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                        Case{49, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_ULAW},
                        Case{39, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                        Case{65, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_GSM610}}) {
    SCOPED_TRACE(c.number);
    ComPtr<ISpeech> speech = MakeSpeech(c.number);
    std::int32_t configured = 0;
    EXPECT_EQ(speech->get_AudioFormat(&configured), S_OK);
    EXPECT_EQ(configured, c.number);
    const std::string path = Path(std::to_string(c.number) + ".wav");
    ASSERT_EQ(speech->GenerateVoiceFile(kText, path.c_str(), nullptr, kDefaultVolume, kDefaultRate),
              S_OK);
    const Audio audio = Decode(path);
    EXPECT_EQ(audio.rate, c.rate);
    EXPECT_EQ(audio.channels, c.channels);
    EXPECT_EQ(audio.format, c.format);
    EXPECT_GT(audio.Seconds(), 1.5);
    EXPECT_GT(audio.Peak(), 0.1f);
  }
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(SpeechTest, WithoutAFormatNothingIsWritten) {
  ComPtr<ISpeech> speech = MakeSpeech(-1);
  std::int32_t configured = 0;
  EXPECT_EQ(speech->get_AudioFormat(&configured), S_OK);
  EXPECT_EQ(configured, -1);
  EXPECT_EQ(speech->get_AudioFormat(nullptr), E_INVALIDARG);
  const std::string path = Path("none.wav");
  EXPECT_EQ(speech->GenerateVoiceFile(kText, path.c_str(), nullptr, 50, 0), E_INVALIDARG);
  ExpectFailureReported("The parameter is incorrect.");
  EXPECT_FALSE(std::filesystem::exists(path));

  // TrueSpeech cannot be written: refused before an existing file is touched.
  ComPtr<ISpeech> truespeech = MakeSpeech(40);
  WriteFile(path, "keep me");
  EXPECT_EQ(truespeech->GenerateVoiceFile(kText, path.c_str(), nullptr, 50, 0), E_INVALIDARG);
  ExpectFailureReported("TrueSpeech");
  EXPECT_EQ(ReadFile(path), "keep me");
}

TEST_F(SpeechTest, AConfigurationKeyThatDoesNotOpenIsLogged) {
  DeleteConfigKey();
  ComPtr<ISpeech> speech = MakeSpeech(-1);
  std::int32_t configured = 0;
  EXPECT_EQ(speech->get_AudioFormat(&configured), S_OK);
  EXPECT_EQ(configured, -1);
  const auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "Ringwell Prepax");
  EXPECT_EQ(entries[0].event_id, 0xC0000002u);
  EXPECT_EQ(entries[0].text,
            "Registry Error: Failed open kegistry key: SOFTWARE\\Corvane\\Ringwell\r\n");
  EXPECT_FALSE(GetErrorInfo());  // logged only
}

TEST_F(SpeechTest, BadArgumentsAndPathsFail) {
  ComPtr<ISpeech> speech = MakeSpeech(22);
  const std::string path = Path("x.wav");
  EXPECT_EQ(speech->GenerateVoiceFile(nullptr, path.c_str(), nullptr, 50, 0), E_INVALIDARG);
  ExpectFailureReported("The parameter is incorrect.");
  EXPECT_EQ(speech->GenerateVoiceFile(kText, nullptr, nullptr, 50, 0), E_INVALIDARG);
  ExpectFailureReported("The parameter is incorrect.");
  const std::string nowhere = Path("missing/x.wav");
  EXPECT_EQ(speech->GenerateVoiceFile(kText, nowhere.c_str(), nullptr, 50, 0),
            HresultFromWin32(ERROR_PATH_NOT_FOUND));
  ExpectFailureReported("The system cannot find the path specified.");
  EXPECT_TRUE(ListDir(scratch()).empty());
}

TEST_F(SpeechTest, AnExistingFileIsReplacedWhole) {
  ComPtr<ISpeech> speech = MakeSpeech(49);
  const std::string path = Path("voice.wav");
  WriteFile(path, std::string(100000, 'x'));
  ASSERT_EQ(speech->GenerateVoiceFile("Short.", path.c_str(), nullptr, 50, 0), S_OK);
  const Audio audio = Decode(path);
  EXPECT_EQ(audio.format, SF_FORMAT_WAV | SF_FORMAT_ULAW);
  EXPECT_GT(audio.Seconds(), 0.2);
  EXPECT_EQ(ListDir(scratch()), std::vector<std::string>{"voice.wav"});
}

// The engine is shared by the process: a setting of one call must not stay
// for the next, and values out of range give the engine's own.
TEST_F(SpeechTest, VolumeAndRateOutOfRangeUseTheEngineDefaults) {
  ComPtr<ISpeech> speech = MakeSpeech(22);
  auto speak = [&](const std::string& name, std::int32_t volume, std::int32_t rate) {
    const std::string path = Path(name);
    EXPECT_EQ(speech->GenerateVoiceFile(kText, path.c_str(), nullptr, volume, rate), S_OK) << name;
    return Decode(path);
  };
  const Audio normal = speak("normal.wav", kDefaultVolume, kDefaultRate);
  EXPECT_EQ(speak("silent.wav", 0, 0).Peak(), 0.0f);
  const Audio after_silent = speak("loud.wav", 101, 11);
  EXPECT_NEAR(after_silent.Peak(), normal.Peak(), normal.Peak() * 0.25);
  EXPECT_LT(speak("quiet.wav", 20, 0).Peak(), normal.Peak() * 0.5);

  const Audio fast = speak("fast.wav", 100, 10);
  const Audio slow = speak("slow.wav", 100, -10);
  EXPECT_LT(fast.Seconds() * 2, slow.Seconds());
  const Audio after_fast = speak("again.wav", -5, -1000);
  EXPECT_NEAR(after_fast.Seconds(), normal.Seconds(), normal.Seconds() * 0.1);
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(SpeechTest, AnyVoiceNameStillSpeaks) {
  ComPtr<ISpeech> speech = MakeSpeech(22);
  for (const char* voice : {"Female", "Male", "male", "No Such Voice", ""}) {
    SCOPED_TRACE(voice);
    const std::string path = Path("voice.wav");
    EXPECT_EQ(speech->GenerateVoiceFile(kText, path.c_str(), voice, 50, 0), S_OK);
    EXPECT_GT(Decode(path).Seconds(), 1.5);
  }
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(SpeechTest, CallsFromSeveralThreadsAreSerialised) {
  constexpr int kThreads = 3;
  SetConfigNumber("AudioFormat", 22);
  std::vector<HRESULT> results(kThreads * 2, E_FAIL);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ComPtr<ISpeech> speech = MakeComObject<CSpeech>();
        speech->Initialize();
        for (int i = 0; i < 2; ++i) {
          const std::string path = Path("t" + std::to_string(t) + "-" + std::to_string(i) + ".wav");
          results[t * 2 + i] = speech->GenerateVoiceFile(kText, path.c_str(),
                                                         i == 0 ? "Female" : nullptr, 50, t - 1);
        }
      });
    }
  }
  for (HRESULT hr : results) EXPECT_EQ(hr, S_OK);
  for (const std::string& name : ListDir(scratch()))
    EXPECT_GT(Decode(Path(name)).Seconds(), 1.0) << name;
  EXPECT_EQ(ListDir(scratch()).size(), static_cast<std::size_t>(kThreads * 2));
}

}  // namespace
}  // namespace ringwell::prepax
