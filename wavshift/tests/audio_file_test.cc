#include "ringwell/wavshift/audio_file.h"

#include <gtest/gtest.h>

#include "ringwell/common/error_info.h"
#include "ringwell/testing/fixture.h"
#include "test_signal.h"

namespace ringwell::audio {
namespace {

class AudioFileTest : public ringwell::testing::RingwellTest {};

// Stereo is averaged into mono, not cut to its left channel; mono is copied
// into both channels.
TEST(AudioFileDspTest, ChannelsAreMixedBetweenMonoAndStereo) {
  const AudioBuffer mono = MixChannels(AudioBuffer{8000, 2, {0.2f, 0.6f, -1.0f, 0.0f}}, 1);
  EXPECT_EQ(mono.samples, (std::vector<float>{0.4f, -0.5f}));
  EXPECT_EQ(MixChannels(mono, 2).samples, (std::vector<float>{0.4f, 0.4f, -0.5f, -0.5f}));
}

TEST_F(AudioFileTest, OvershootIsClippedNotWrapped) {
  const std::string path = scratch() + "loud.wav";
  WriteNewWavFile(path, AudioBuffer{8000, 1, {1.5f, -1.5f, 0.25f}}, FindAudioFormat(6));
  const testing::Decoded decoded = testing::Decode(path);
  ASSERT_EQ(decoded.samples.size(), 3u);
  EXPECT_GT(decoded.samples[0], 0.99f);
  EXPECT_LT(decoded.samples[1], -0.99f);
  EXPECT_NEAR(decoded.samples[2], 0.25f, 0.001f);
  // A new file (the converter's temporary output) never overwrites one.
  try {
    WriteNewWavFile(path, AudioBuffer{8000, 1, testing::Tone(8000, 1, 0.1)}, FindAudioFormat(6));
    ADD_FAILURE() << "an existing file was overwritten";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), HresultFromWin32(ERROR_FILE_EXISTS));
  }
  EXPECT_EQ(testing::Decode(path).samples, decoded.samples);
}

}  // namespace
}  // namespace ringwell::audio
