#include "ringwell/wavshift/audio_format.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <set>

#include "ringwell/testing/fixture.h"
#include "test_signal.h"

namespace ringwell::audio {
namespace {

using ringwell::testing::RingwellTest;

class AudioFormatTest : public RingwellTest {};

TEST_F(AudioFormatTest, NumbersFollowTheStreamFormatList) {
  std::set<std::int32_t> numbers;
  for (const AudioFormat& f : AudioFormats()) numbers.insert(f.number);
  EXPECT_EQ(numbers.size(), 64u);
  EXPECT_EQ(*numbers.begin(), 4);
  EXPECT_EQ(*numbers.rbegin(), 68);
  EXPECT_FALSE(numbers.count(40));

  EXPECT_EQ(FindAudioFormat(4).Name(), "8 kHz 8-bit mono PCM");
  EXPECT_EQ(FindAudioFormat(7).Name(), "8 kHz 16-bit stereo PCM");
  EXPECT_EQ(FindAudioFormat(13).Name(), "12 kHz 8-bit stereo PCM");
  EXPECT_EQ(FindAudioFormat(22).Name(), "22.05 kHz 16-bit mono PCM");
  EXPECT_EQ(FindAudioFormat(39).Name(), "48 kHz 16-bit stereo PCM");
  EXPECT_EQ(FindAudioFormat(41).Name(), "8 kHz mono A-law");
  EXPECT_EQ(FindAudioFormat(48).Name(), "44.1 kHz stereo A-law");
  EXPECT_EQ(FindAudioFormat(50).Name(), "8 kHz stereo mu-law");
  EXPECT_EQ(FindAudioFormat(59).Name(), "11.025 kHz mono MS ADPCM");
  EXPECT_EQ(FindAudioFormat(64).Name(), "44.1 kHz stereo MS ADPCM");
  EXPECT_EQ(FindAudioFormat(65).Name(), "8 kHz mono GSM 6.10");
  EXPECT_EQ(FindAudioFormat(68).Name(), "44.1 kHz mono GSM 6.10");
}

// The descriptions are what libsndfile really writes, so a written file is
// recognised as being in its format.
TEST_F(AudioFormatTest, DescriptionsAreWhatLibsndfileWrites) {
  for (const AudioFormat& format : AudioFormats()) {
    const std::string path = scratch() + std::to_string(format.number) + ".wav";
    testing::WriteTestSignal(path, static_cast<int>(format.rate), format.channels,
                             format.SndfileFormat() & SF_FORMAT_SUBMASK, 0.1);
    EXPECT_EQ(ReadStoredFormat(path).Bytes(), format.Wave().Bytes()) << format.Name();
  }
  // Spot checks of the stored fields.
  const WaveFormat pcm = FindAudioFormat(22).Wave();
  EXPECT_EQ(pcm.format_tag, kTagPcm);
  EXPECT_EQ(pcm.avg_bytes_per_sec, 44100u);
  EXPECT_TRUE(pcm.extra.empty());
  EXPECT_EQ(FindAudioFormat(41).Wave().format_tag, 6);
  EXPECT_EQ(FindAudioFormat(49).Wave().format_tag, 7);
  const WaveFormat adpcm = FindAudioFormat(57).Wave();
  EXPECT_EQ(adpcm.format_tag, 2);
  EXPECT_EQ(adpcm.block_align, 256);
  EXPECT_EQ(adpcm.bits_per_sample, 4);
  EXPECT_EQ(adpcm.extra.size(), 32u);  // frames per block, 7 coefficient pairs
  const WaveFormat gsm = FindAudioFormat(65).Wave();
  EXPECT_EQ(gsm.format_tag, 0x31);
  EXPECT_EQ(gsm.block_align, 65);
  EXPECT_EQ(gsm.avg_bytes_per_sec, 1625u);
  EXPECT_EQ(gsm.extra, (std::vector<std::uint8_t>{0x40, 0x01}));  // 320 frames per block
}

}  // namespace
}  // namespace ringwell::audio
