#include "speech_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace ringwell::prepax {
namespace {

// The median fundamental frequency (70 to 400 Hz) of the voiced 40 ms frames
// of `audio`, by normalised autocorrelation.
double MedianPitch(const audio::AudioBuffer& audio) {
  const std::size_t frame = audio.rate / 25, min_lag = audio.rate / 400, max_lag = audio.rate / 70;
  std::vector<double> pitches;
  for (std::size_t start = 0; start + frame + max_lag <= audio.samples.size(); start += frame / 2) {
    auto dot = [&](std::size_t a, std::size_t b) {
      double sum = 0;
      for (std::size_t i = 0; i < frame; ++i)
        sum += audio.samples[start + a + i] * audio.samples[start + b + i];
      return sum;
    };
    const double energy = dot(0, 0);
    if (energy / frame < 1e-3) continue;  // silence or very quiet
    double best = 0.7;                    // below: not voiced
    std::size_t best_lag = 0;
    for (std::size_t lag = min_lag; lag <= max_lag; ++lag) {
      const double r = dot(0, lag) / std::sqrt(energy * dot(lag, lag) + 1e-12);
      if (r > best) std::tie(best, best_lag) = std::pair(r, lag);
    }
    if (best_lag != 0) pitches.push_back(static_cast<double>(audio.rate) / best_lag);
  }
  if (pitches.empty()) return 0;
  std::nth_element(pitches.begin(), pitches.begin() + pitches.size() / 2, pitches.end());
  return pitches[pitches.size() / 2];
}

SpeechResult SpeakWith(std::optional<std::string> voice) {
  return Speak({.text = "Hello, this is a test of the notification system.",
                .voice = std::move(voice),
                .volume = std::nullopt,
                .rate = std::nullopt});
}

TEST(SpeechEngineTest, VoicesAreChosenByGenderOrExactName) {
  const SpeechResult standard = SpeakWith(std::nullopt);
  ASSERT_FALSE(standard.voice.empty());
  EXPECT_GT(standard.audio.frames(), standard.audio.rate);  // more than a second of speech
  // Names that match nothing exactly (case counts) give the default voice.
  for (const char* name : {"Nobody", "male", "", "english (america)"}) {
    const SpeechResult result = SpeakWith(name);
    EXPECT_EQ(result.voice, standard.voice) << name;
    EXPECT_TRUE(result.voice_failures.empty()) << name;
  }
  EXPECT_NE(SpeakWith("English (America)").voice, standard.voice);
  // A variant is applied to the default voice.
  EXPECT_EQ(SpeakWith("Andy").voice.rfind(standard.voice + "+", 0), 0u);
  // "Female" really speaks higher than "Male".
  const double male = MedianPitch(SpeakWith("Male").audio);
  const double female = MedianPitch(SpeakWith("Female").audio);
  EXPECT_GT(male, 70.0);
  EXPECT_GT(female, male * 1.3) << male << " Hz vs " << female << " Hz";
}

}  // namespace
}  // namespace ringwell::prepax
