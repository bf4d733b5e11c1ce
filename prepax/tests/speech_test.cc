#include "speech.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "../../wavshift/tests/memory_limit.h"
#include "ringwell/prepax/speech_engine.h"
#include "ringwell/testing/fixture.h"
#include "ringwell/testing/wait.h"
#include "ringwell/wavshift/audio_file.h"

namespace ringwell::prepax {
namespace {

using ringwell::testing::ListDir;
using ringwell::testing::ReadFile;
using ringwell::testing::WriteFile;

constexpr char kText[] = "Your appointment is tomorrow at ten o'clock.";

// How long the speech in a file lasts, and its loudest sample.
struct Speech {
  double seconds = 0;
  float peak = 0;
};
Speech Measure(const std::string& path) {
  const audio::AudioBuffer audio = audio::WavReader::Open(path).ReadAll();
  Speech speech{static_cast<double>(audio.frames()) / audio.rate};
  for (float s : audio.samples) speech.peak = std::max(speech.peak, std::abs(s));
  return speech;
}

class SpeechTest : public ringwell::testing::RingwellTest {
 protected:
  // A speech object initialised with `format` configured (nothing for -1).
  ComPtr<ISpeech> MakeSpeech(std::int32_t format) {
    if (format == -1) DeleteConfigValue("AudioFormat");
    if (format != -1) SetConfigNumber("AudioFormat", static_cast<std::uint32_t>(format));
    ComPtr<ISpeech> speech = MakeComObject<CSpeech>();
    EXPECT_EQ(speech->Initialize(), S_OK);
    return speech;
  }
  std::string Path(const std::string& name) const { return scratch() + name; }
};

// Each file replaces what was there, in the configured format (its stored
// description is the table's, so the converter sees it is in that format),
// whatever the voice is called; an unknown name speaks with the default voice.
TEST_F(SpeechTest, SpeaksIntoTheConfiguredFormat) {
  for (const auto& [number, voice] : {std::pair<std::int32_t, const char*>{22, nullptr},
                                      {49, "Female"},
                                      {39, "No Such Voice"},
                                      {65, "male"}}) {
    SCOPED_TRACE(number);
    ComPtr<ISpeech> speech = MakeSpeech(number);
    std::int32_t configured = 0;
    EXPECT_EQ(speech->get_AudioFormat(&configured), S_OK);
    EXPECT_EQ(configured, number);
    const std::string path = Path(std::to_string(number) + ".wav");
    WriteFile(path, std::string(100000, 'x'));
    ASSERT_EQ(speech->GenerateVoiceFile(kText, path.c_str(), voice, 50, 0), S_OK);
    EXPECT_EQ(audio::ReadStoredFormat(path), audio::FindAudioFormat(number).Wave());
    const Speech spoken = Measure(path);
    EXPECT_GT(spoken.seconds, 1.5);
    EXPECT_GT(spoken.peak, 0.1f);
  }
  EXPECT_EQ(ListDir(scratch()), (std::vector<std::string>{"22.wav", "39.wav", "49.wav", "65.wav"}));
  EXPECT_TRUE(EventLogEntries().empty());
}

// Failures are reported and write nothing; a format that cannot be written
// is refused before an existing file is touched.
TEST_F(SpeechTest, FailuresWriteNothing) {
  WriteFile(Path("kept.wav"), "keep me");
  const struct {
    std::int32_t format;
    const char* text;
    const char* name;  // in the scratch directory; nullptr for no path
    HRESULT code;
    const char* reason;
  } cases[] = {
      {-1, kText, "none.wav", E_INVALIDARG, "No audio format is configured"},
      {40, kText, "kept.wav", E_INVALIDARG, "TrueSpeech"},
      {22, nullptr, "x.wav", E_INVALIDARG, "No text"},
      {22, kText, nullptr, E_INVALIDARG, "No file path"},
      {22, kText, "missing/x.wav", HresultFromWin32(ERROR_PATH_NOT_FOUND),
       "The system cannot find the path specified."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const std::string path = c.name ? Path(c.name) : "";
    EXPECT_EQ(MakeSpeech(c.format)->GenerateVoiceFile(c.text, c.name ? path.c_str() : nullptr,
                                                      nullptr, 50, 0),
              c.code);
    // The error entry ends the log, and the caller's error object says the same.
    const auto entries = EventLogEntries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().source, "Ringwell Prepax");
    EXPECT_EQ(entries.back().event_id, 0xC0000001u);
    ASSERT_EQ(entries.back().strings.size(), 2u);
    EXPECT_EQ(entries.back().strings[0], "CSpeech::GenerateVoiceFile()");
    EXPECT_NE(entries.back().strings[1].find(c.reason), std::string::npos);
    const auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->source, "Prepax.Speech.1");
    EXPECT_EQ(info->description, entries.back().text);
  }
  EXPECT_EQ(ListDir(scratch()), std::vector<std::string>{"kept.wav"});
  EXPECT_EQ(ReadFile(Path("kept.wav")), "keep me");
}

// A configuration key that does not open is logged, not told the caller, and
// leaves no format (-1, which the converter refuses).
TEST_F(SpeechTest, AConfigurationKeyThatDoesNotOpenIsLogged) {
  DeleteConfigKey();
  ComPtr<ISpeech> speech = MakeComObject<CSpeech>();
  EXPECT_EQ(speech->Initialize(), S_OK);
  std::int32_t configured = 0;
  EXPECT_EQ(speech->get_AudioFormat(&configured), S_OK);
  EXPECT_EQ(configured, -1);
  const auto entries = EventLogEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "Ringwell Prepax");
  EXPECT_EQ(entries[0].event_id, 0xC0000002u);
  EXPECT_EQ(entries[0].text,
            "Registry Error: Failed open kegistry key: SOFTWARE\\Corvane\\Ringwell\r\n");
  EXPECT_FALSE(GetErrorInfo());
}

// The engine is shared by the process: a setting of one call must not stay
// for the next, and values out of range give the engine's own.
TEST_F(SpeechTest, VolumeAndRateOutOfRangeUseTheEngineDefaults) {
  ComPtr<ISpeech> speech = MakeSpeech(22);
  auto speak = [&](const std::string& name, std::int32_t volume, std::int32_t rate) {
    EXPECT_EQ(speech->GenerateVoiceFile(kText, Path(name).c_str(), nullptr, volume, rate), S_OK);
    return Measure(Path(name));
  };
  const Speech normal = speak("normal.wav", -1, -1000);  // what the request processor passes
  EXPECT_EQ(speak("silent.wav", 0, 0).peak, 0.0f);
  EXPECT_NEAR(speak("loud.wav", 101, 11).peak, normal.peak, normal.peak * 0.25);
  EXPECT_LT(speak("quiet.wav", 20, 0).peak, normal.peak * 0.5);
  EXPECT_LT(speak("fast.wav", 100, 10).seconds * 2, speak("slow.wav", 100, -10).seconds);
  EXPECT_NEAR(speak("again.wav", -5, -1000).seconds, normal.seconds, normal.seconds * 0.1);
  EXPECT_TRUE(EventLogEntries().empty());
}

// One object, used by several threads at once: the engine serves one call
// at a time, and every call gets its whole speech.
TEST_F(SpeechTest, CallsFromSeveralThreadsAreSerialised) {
  ComPtr<ISpeech> speech = MakeSpeech(22);
  std::vector<HRESULT> results(4, E_FAIL);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        results[t] = speech->GenerateVoiceFile(kText, Path(std::to_string(t) + ".wav").c_str(),
                                               t % 2 ? "Female" : nullptr, 50, t - 2);
      });
    }
  }
  EXPECT_EQ(results, std::vector<HRESULT>(4, S_OK));
  for (int t = 0; t < 4; ++t) EXPECT_GT(Measure(Path(std::to_string(t) + ".wav")).seconds, 1.0);
}

// A text over the configured size, or one that would speak for longer than
// the configured time, is refused with its reason and leaves the file as it
// was; one at the limit is spoken.
TEST_F(SpeechTest, TextsBeyondTheConfiguredLimitsAreRefused) {
  SetConfigNumber("MaxTextBytes", 200);
  SetConfigNumber("MaxAudioSeconds", 5);
  std::string long_text;
  while (long_text.size() < 190) long_text += "Check the pump. ";  // about 12 seconds
  const struct {
    std::string text;
    HRESULT code;
    const char* reason;
  } cases[] = {
      {kText + std::string(200 - sizeof kText + 1, ' '), S_OK, ""},
      {kText + std::string(201 - sizeof kText + 1, ' '), E_INVALIDARG,
       "The text has 201 bytes, more than the limit of 200"},
      {long_text, E_INVALIDARG, "more than 5 seconds, the limit (MaxAudioSeconds)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.size());
    ClearEventLog();
    WriteFile(Path("kept.wav"), "keep me");
    const HRESULT hr =
        MakeSpeech(22)->GenerateVoiceFile(c.text.c_str(), Path("kept.wav").c_str(), nullptr, 50, 0);
    EXPECT_EQ(hr, c.code);
    EXPECT_EQ(ListDir(scratch()), std::vector<std::string>{"kept.wav"});
    if (c.code == S_OK) {
      EXPECT_GT(Measure(Path("kept.wav")).seconds, 1.0);
      continue;
    }
    EXPECT_EQ(ReadFile(Path("kept.wav")), "keep me");
    const auto entries = EventLogEntries();
    ASSERT_FALSE(entries.empty());
    ASSERT_EQ(entries.back().strings.size(), 2u);
    EXPECT_NE(entries.back().strings[1].find(c.reason), std::string::npos)
        << entries.back().strings[1];
  }
}

// The daemon's stop cuts a long text short: the call fails with E_ABORT, no
// file is left, and so does every call until speech is let run again.
TEST_F(SpeechTest, AStopInterruptsTheSpeechUnderWay) {
  ComPtr<ISpeech> speech = MakeSpeech(49);
  std::string text;
  while (text.size() < 60000) text += "The cooling of the server room has failed. ";
  HRESULT result = S_OK;
  std::jthread speaker([&] {
    result = speech->GenerateVoiceFile(text.c_str(), Path("long.wav").c_str(), nullptr, 50, 0);
  });
  // Once the speech is under way (its file is being written), stop it.
  ringwell::testing::WaitUntil([&] { return !ListDir(scratch()).empty(); },
                               std::chrono::seconds(60), std::chrono::milliseconds(5));
  struct Resume {
    ~Resume() { ResumeSpeech(); }
  } resume;  // whatever fails below, later tests may speak
  InterruptSpeaking();
  speaker.join();
  EXPECT_EQ(result, E_ABORT);
  EXPECT_EQ(speech->GenerateVoiceFile(kText, Path("after.wav").c_str(), nullptr, 50, 0), E_ABORT);
  EXPECT_TRUE(ListDir(scratch()).empty());
  ResumeSpeech();
  EXPECT_EQ(speech->GenerateVoiceFile(kText, Path("after.wav").c_str(), nullptr, 50, 0), S_OK);
}

// Long speech is streamed to its file: a process that may map only a few
// MiB more than it has speaks a text of 10 KB (about three minutes, 8 MB of
// samples at the engine's rate) into the file.
TEST_F(SpeechTest, LongTextsAreSpokenInBoundedMemory) {
  if (!ringwell::testing::MemoryLimitsUsable()) GTEST_SKIP() << "no address-space limits here";
  ComPtr<ISpeech> speech = MakeSpeech(49);
  ASSERT_EQ(speech->GenerateVoiceFile(kText, Path("warm.wav").c_str(), nullptr, 50, 0), S_OK);
  std::string text;
  while (text.size() < 10000) text += "The cooling of the server room has failed. ";
  EXPECT_EQ(ringwell::testing::RunWithMemoryHeadroom(
                8 << 20,
                [&] {
                  return speech->GenerateVoiceFile(text.c_str(), Path("long.wav").c_str(), nullptr,
                                                   50, 0) == S_OK;
                }),
            0);
  EXPECT_GT(Measure(Path("long.wav")).seconds, 150.0);
}

}  // namespace
}  // namespace ringwell::prepax
