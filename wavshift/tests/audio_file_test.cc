#include "ringwell/wavshift/audio_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <functional>
#include <numbers>

#include "ringwell/common/error_info.h"
#include "ringwell/testing/fixture.h"
#include "test_signal.h"

namespace ringwell::audio {
namespace {

using ringwell::testing::ListDir;
using ringwell::testing::RingwellTest;
using ringwell::testing::WriteFile;

class AudioFileTest : public RingwellTest {};

AudioBuffer Tone(std::uint32_t rate, std::uint16_t channels, double seconds) {
  AudioBuffer audio{rate, channels, {}};
  const auto frames = static_cast<std::size_t>(seconds * rate);
  for (std::size_t f = 0; f < frames; ++f) {
    const double v = testing::kToneAmplitude * std::sin(2 * std::numbers::pi * testing::kToneHz *
                                                        static_cast<double>(f) / rate);
    for (std::uint16_t c = 0; c < channels; ++c) audio.samples.push_back(static_cast<float>(v));
  }
  return audio;
}

HRESULT CodeOf(const std::function<void()>& f) {
  try {
    f();
    return S_OK;
  } catch (const ComError& e) {
    return e.code();
  }
}

TEST_F(AudioFileTest, ResamplingKeepsLengthAndPitch) {
  const AudioBuffer down = Resample(Tone(48000, 1, 1.0), 8000);
  EXPECT_EQ(down.rate, 8000u);
  EXPECT_NEAR(static_cast<double>(down.frames()), 8000.0, 2.0);
  EXPECT_NEAR(testing::AmplitudeAt(down.samples, 8000, testing::kToneHz), 0.5, 0.02);
  const AudioBuffer up = Resample(Tone(11025, 2, 1.0), 44100);
  EXPECT_NEAR(static_cast<double>(up.frames()), 44100.0, 2.0);
  EXPECT_EQ(up.channels, 2);
}

TEST_F(AudioFileTest, ChannelsAreMixedBetweenMonoAndStereo) {
  AudioBuffer stereo{8000, 2, {0.2f, 0.6f, -1.0f, 0.0f}};
  const AudioBuffer mono = MixChannels(stereo, 1);
  EXPECT_EQ(mono.samples, (std::vector<float>{0.4f, -0.5f}));
  const AudioBuffer back = MixChannels(mono, 2);
  EXPECT_EQ(back.samples, (std::vector<float>{0.4f, 0.4f, -0.5f, -0.5f}));
}

TEST_F(AudioFileTest, OvershootIsClippedNotWrapped) {
  const std::string path = scratch() + "loud.wav";
  WriteNewWavFile(path, AudioBuffer{8000, 1, {1.5f, -1.5f, 0.25f}}, FindAudioFormat(6));
  const testing::Decoded decoded = testing::Decode(path);
  ASSERT_EQ(decoded.samples.size(), 3u);
  EXPECT_GT(decoded.samples[0], 0.99f);
  EXPECT_LT(decoded.samples[1], -0.99f);
  EXPECT_NEAR(decoded.samples[2], 0.25f, 0.001f);
}

TEST_F(AudioFileTest, ReplacingWritesTheWholeFileAndLeavesNothingBeside) {
  const std::string path = scratch() + "voice.wav";
  WriteFile(path, "old content");
  ReplaceWavFile(path, Tone(22050, 1, 0.5), FindAudioFormat(49));  // 8 kHz mono mu-law
  const testing::Decoded decoded = testing::Decode(path);
  EXPECT_EQ(decoded.format, SF_FORMAT_WAV | SF_FORMAT_ULAW);
  EXPECT_EQ(decoded.rate, 8000);
  EXPECT_EQ(ListDir(scratch()), std::vector<std::string>{"voice.wav"});
  // A missing directory fails and creates nothing.
  EXPECT_EQ(CodeOf([&] {
              ReplaceWavFile(scratch() + "no/x.wav", Tone(8000, 1, 0.1), FindAudioFormat(6));
            }),
            HresultFromWin32(ERROR_PATH_NOT_FOUND));
  // Writing a new file never overwrites one.
  EXPECT_EQ(CodeOf([&] { WriteNewWavFile(path, Tone(8000, 1, 0.1), FindAudioFormat(6)); }),
            HresultFromWin32(ERROR_FILE_EXISTS));
  EXPECT_EQ(testing::Decode(path).format, SF_FORMAT_WAV | SF_FORMAT_ULAW);
}

TEST_F(AudioFileTest, SpecialAndLockedFilesAreRefusedAtOnce) {
  // A FIFO is refused at once instead of blocking the open.
  const std::string fifo = scratch() + "fifo.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(CodeOf([&] { WavReader::Open(fifo); }), E_INVALIDARG);
  {
    ringwell::testing::PermissionsEnforced enforced;
    const std::string locked = scratch() + "locked.wav";
    testing::WriteTestSignal(locked, 8000, 1, SF_FORMAT_PCM_16, 0.1);
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(CodeOf([&] { WavReader::Open(locked); }), E_ACCESSDENIED);
  }
}

}  // namespace
}  // namespace ringwell::audio
