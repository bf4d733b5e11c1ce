#include "ringwell/prepax/speech_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace ringwell::prepax {
namespace {

struct Spoken {
  std::uint32_t rate = 0;
  std::vector<std::int16_t> samples;
  std::string voice;
  std::vector<std::string> voice_failures;
};

// The median fundamental frequency (70 to 400 Hz) of the voiced 40 ms frames
// of `audio`, by normalised autocorrelation.
double MedianPitch(const Spoken& audio) {
  const std::size_t frame = audio.rate / 25, min_lag = audio.rate / 400, max_lag = audio.rate / 70;
  std::vector<double> pitches;
  for (std::size_t start = 0; start + frame + max_lag <= audio.samples.size(); start += frame / 2) {
    auto dot = [&](std::size_t a, std::size_t b) {
      double sum = 0;
      for (std::size_t i = 0; i < frame; ++i)
        sum += static_cast<double>(audio.samples[start + a + i]) * audio.samples[start + b + i];
      return sum / (32768.0 * 32768.0);
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

Spoken SpeakText(std::string text, std::optional<std::string> voice = std::nullopt) {
  Spoken spoken;
  const SpeechResult result =
      Speak({.text = std::move(text), .voice = std::move(voice), .volume = {}, .rate = {}},
            [&](const std::int16_t* samples, std::size_t count) {
              spoken.samples.insert(spoken.samples.end(), samples, samples + count);
              return true;
            });
  spoken.rate = EngineSampleRate();
  spoken.voice = result.voice;
  spoken.voice_failures = result.voice_failures;
  return spoken;
}

Spoken SpeakWith(std::optional<std::string> voice) {
  return SpeakText("Hello, this is a test of the notification system.", std::move(voice));
}

TEST(SpeechEngineTest, VoicesAreChosenByGenderOrExactName) {
  const Spoken standard = SpeakWith(std::nullopt);
  ASSERT_FALSE(standard.voice.empty());
  EXPECT_GT(standard.samples.size(), standard.rate);  // more than a second of speech
  // Names that match nothing exactly (case counts) give the default voice.
  for (const char* name : {"Nobody", "male", "", "english (america)"}) {
    const Spoken result = SpeakWith(name);
    EXPECT_EQ(result.voice, standard.voice) << name;
    EXPECT_TRUE(result.voice_failures.empty()) << name;
  }
  EXPECT_NE(SpeakWith("English (America)").voice, standard.voice);
  // A variant is applied to the default voice.
  EXPECT_EQ(SpeakWith("Andy").voice.rfind(standard.voice + "+", 0), 0u);
  // "Female" really speaks higher than "Male".
  const double male = MedianPitch(SpeakWith("Male"));
  const double female = MedianPitch(SpeakWith("Female"));
  EXPECT_GT(male, 70.0);
  EXPECT_GT(female, male * 1.3) << male << " Hz vs " << female << " Hz";
}

}  // namespace
}  // namespace ringwell::prepax

namespace ringwell::prepax {
namespace {

// Long texts go to the engine in pieces that end at a sentence where there is
// one, else at a space, else between two characters; nothing is lost.
TEST(SpeechEngineTest, LongTextsAreSplitAtSentencesSpacesOrCharacters) {
  const std::string sentence = "The server room is too warm. ";
  std::string sentences;
  while (sentences.size() < 3 * kChunkBytes) sentences += sentence;
  const std::string words = [] {
    std::string text;
    while (text.size() < 2 * kChunkBytes) text += "warm ";
    return text;
  }();
  std::string letters;
  while (letters.size() < 2 * kChunkBytes) letters += "\xC3\xA9";  // one two-byte character
  const struct {
    const std::string& text;
    unsigned char last;  // how every piece but the last ends
  } cases[] = {{sentences, '.'}, {words, 'm'}, {letters, 0xA9}};
  for (const auto& c : cases) {
    const std::vector<std::string_view> chunks = SplitIntoChunks(c.text);
    std::string joined;
    for (const std::string_view chunk : chunks) {
      EXPECT_LE(chunk.size(), kChunkBytes);
      EXPECT_FALSE(chunk.empty());
      joined += chunk;
    }
    EXPECT_EQ(joined, c.text);
    EXPECT_GT(chunks.size(), 1u);
    for (std::size_t i = 0; i + 1 < chunks.size(); ++i) {
      EXPECT_EQ(static_cast<unsigned char>(chunks[i].back()), c.last);
    }
  }
}

// A text of several pieces is spoken whole: as long as its sentence spoken
// once, and each further sentence as long as the second one of two.
TEST(SpeechEngineTest, TextsOfSeveralPiecesAreSpokenWhole) {
  const std::string sentence = "Please call the operator. ";
  std::string text;
  int sentences = 0;
  for (; text.size() < kChunkBytes + 1000; ++sentences) text += sentence;
  ASSERT_EQ(SplitIntoChunks(text).size(), 2u);
  const double whole = static_cast<double>(SpeakText(text).samples.size());
  const double once = static_cast<double>(SpeakText(sentence).samples.size());
  const double twice = static_cast<double>(SpeakText(sentence + sentence).samples.size());
  const double expected = once + (sentences - 1) * (twice - once);
  EXPECT_NEAR(whole, expected, expected * 0.03);
}

}  // namespace
}  // namespace ringwell::prepax

namespace ringwell::prepax {
namespace {

// Quiet time at the end of `audio`: after its last sample above -48 dBFS.
double QuietEnd(const Spoken& audio) {
  const auto loud = std::find_if(audio.samples.rbegin(), audio.samples.rend(),
                                 [](std::int16_t s) { return s > 128 || s < -128; });
  return static_cast<double>(loud - audio.samples.rbegin()) / audio.rate;
}

// Speech ends as a spoken sentence ends, with its pause: a message does not
// stop on its last sound (the line adds less silence before it hangs up).
TEST(SpeechEngineTest, SpeechEndsWithTheSentencesPause) {
  EXPECT_GE(QuietEnd(SpeakText("Please call the operator.")), 0.2);
  EXPECT_GE(QuietEnd(SpeakText("Please call the operator")), 0.2);
}

}  // namespace
}  // namespace ringwell::prepax
