#include "ringwell/wavshift/audio_format.h"

#include <gtest/gtest.h>

#include <numeric>

namespace ringwell::audio {
namespace {

// The table holds the stream formats 4 to 68 but TrueSpeech (40), each at
// the rate, sample size, channels and encoding its number stands for. (That
// a format's description is what the writer puts in the file is checked by
// converting into every format.)
TEST(AudioFormatTest, NumbersFollowTheStreamFormatList) {
  std::vector<std::int32_t> numbers;
  for (const AudioFormat& f : AudioFormats()) numbers.push_back(f.number);
  std::vector<std::int32_t> expected(65);
  std::iota(expected.begin(), expected.end(), 4);
  std::erase(expected, 40);
  EXPECT_EQ(numbers, expected);

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

}  // namespace
}  // namespace ringwell::audio
