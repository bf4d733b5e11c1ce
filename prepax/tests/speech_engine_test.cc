#include "speech_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace ringwell::prepax {
namespace {

constexpr char kText[] = "Hello, this is a test of the notification system.";

// The median fundamental frequency of the voiced parts of `samples`, by
// normalised autocorrelation over 40 ms frames (70 to 400 Hz).
double MedianPitch(const std::vector<float>& samples, std::uint32_t rate) {
  const std::size_t frame = rate * 40 / 1000;
  const std::size_t min_lag = rate / 400;
  const std::size_t max_lag = rate / 70;
  std::vector<double> pitches;
  for (std::size_t start = 0; start + frame + max_lag <= samples.size(); start += frame / 2) {
    const float* x = &samples[start];
    double energy = 0;
    for (std::size_t i = 0; i < frame; ++i) energy += x[i] * x[i];
    if (energy / frame < 1e-3) continue;  // silence or very quiet
    double best = 0;
    std::size_t best_lag = 0;
    for (std::size_t lag = min_lag; lag <= max_lag; ++lag) {
      double cross = 0, shifted = 0;
      for (std::size_t i = 0; i < frame; ++i) {
        cross += x[i] * x[i + lag];
        shifted += x[i + lag] * x[i + lag];
      }
      const double r = cross / std::sqrt(energy * shifted + 1e-12);
      if (r > best) {
        best = r;
        best_lag = lag;
      }
    }
    if (best > 0.7) pitches.push_back(static_cast<double>(rate) / best_lag);
  }
  if (pitches.empty()) return 0;
  std::nth_element(pitches.begin(), pitches.begin() + pitches.size() / 2, pitches.end());
  return pitches[pitches.size() / 2];
}

SpeechResult SpeakWith(std::optional<std::string> voice) {
  return Speak(
      {.text = kText, .voice = std::move(voice), .volume = std::nullopt, .rate = std::nullopt});
}

TEST(SpeechEngineTest, VoicesAreChosenByGenderOrExactName) {
  const SpeechResult standard = SpeakWith(std::nullopt);
  ASSERT_FALSE(standard.voice.empty());
  EXPECT_GT(standard.audio.frames(), standard.audio.rate);  // more than a second of speech
  EXPECT_TRUE(standard.voice_failures.empty());

  // Names that match nothing, and "male" in lower case, give the default.
  for (const char* name : {"Nobody", "male", "", "english (america)"}) {
    const SpeechResult result = SpeakWith(name);
    EXPECT_EQ(result.voice, standard.voice) << name;
    EXPECT_TRUE(result.voice_failures.empty()) << name;
  }
  const SpeechResult american = SpeakWith("English (America)");
  EXPECT_NE(american.voice, standard.voice);
  // A variant is applied to the default voice.
  const SpeechResult variant = SpeakWith("Andy");
  EXPECT_EQ(variant.voice.rfind(standard.voice + "+", 0), 0u) << variant.voice;

  // "Female" really speaks higher than "Male".
  const SpeechResult male = SpeakWith("Male");
  const SpeechResult female = SpeakWith("Female");
  EXPECT_NE(female.voice, male.voice);
  const double male_pitch = MedianPitch(male.audio.samples, male.audio.rate);
  const double female_pitch = MedianPitch(female.audio.samples, female.audio.rate);
  EXPECT_GT(male_pitch, 70.0);
  EXPECT_GT(female_pitch, male_pitch * 1.3) << male_pitch << " Hz vs " << female_pitch << " Hz";
}

}  // namespace
}  // namespace ringwell::prepax
