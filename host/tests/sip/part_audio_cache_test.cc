#include "part_audio_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "baresip_callee.h"

namespace ringwell::host::sip {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

class PartAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("part-audio-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_F(PartAudioTest, CallsPlayingOnePartShareOneCopyOfItsAudio) {
  testing::WriteWav(Path("message.wav"), testing::Noise(1.5, 7));
  std::string error;
  const PartAudio first = SharedPartAudio(Path("message.wav"), Codec::kPcmu, &error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(first->size(), 12000u);  // 1.5 s at 8 kHz, one byte a sample
  EXPECT_EQ(SharedPartAudio(Path("message.wav"), Codec::kPcmu, &error).get(), first.get());
  // Another codec is other bytes.
  const PartAudio alaw = SharedPartAudio(Path("message.wav"), Codec::kPcma, &error);
  ASSERT_TRUE(alaw);
  EXPECT_NE(*alaw, *first);
}

TEST_F(PartAudioTest, AReplacedFileIsLoadedAgainAndAMissingOneRefused) {
  testing::WriteWav(Path("message.wav"), testing::Noise(1, 7));
  std::string error;
  const PartAudio old = SharedPartAudio(Path("message.wav"), Codec::kPcmu, &error);
  ASSERT_TRUE(old);
  testing::WriteWav(Path("new.wav"), testing::Noise(0.5, 8));
  fs::rename(Path("new.wav"), Path("message.wav"));
  const PartAudio renewed = SharedPartAudio(Path("message.wav"), Codec::kPcmu, &error);
  ASSERT_TRUE(renewed);
  EXPECT_EQ(renewed->size(), 4000u);
  EXPECT_EQ(old->size(), 8000u);  // what a call still plays stays as it was

  fs::remove(Path("message.wav"));
  EXPECT_FALSE(SharedPartAudio(Path("message.wav"), Codec::kPcmu, &error));
  EXPECT_FALSE(error.empty());
}

TEST(TakeFrameTest, AFrameGoesOnIntoTheNextPartAndEndsShortAfterTheLast) {
  const std::vector<PartAudio> parts = {
      std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>{1, 2, 3}),
      std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>{4}),
      std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>{5, 6, 7})};
  std::size_t part = 0;
  std::size_t at = 0;
  std::vector<std::uint8_t> frame(2);
  EXPECT_EQ(TakeFrame(parts, &part, &at, frame), 2u);
  EXPECT_THAT(frame, ElementsAre(1, 2));
  EXPECT_EQ(TakeFrame(parts, &part, &at, frame), 2u);
  EXPECT_THAT(frame, ElementsAre(3, 4));
  EXPECT_EQ(TakeFrame(parts, &part, &at, frame), 2u);
  EXPECT_THAT(frame, ElementsAre(5, 6));
  EXPECT_EQ(TakeFrame(parts, &part, &at, frame), 1u);
  EXPECT_EQ(frame[0], 7);
  EXPECT_EQ(part, parts.size());
  EXPECT_EQ(TakeFrame(parts, &part, &at, frame), 0u);
  std::vector<PartAudio> none;
  part = at = 0;
  EXPECT_EQ(TakeFrame(none, &part, &at, frame), 0u);
}

}  // namespace
}  // namespace ringwell::host::sip
