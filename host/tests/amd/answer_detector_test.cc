// Answering-machine detection on the labelled recordings of tests/data/amd,
// fed as a call feeds them, and how the settings of a request change it.
#include "amd/answer_detector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "corpus.h"

namespace ringwell::host::amd {
namespace {

using namespace testing;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

class AnswerDetectorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    corpus_ = new std::vector<Recording>(LoadCorpus(CorpusDir(), &error));
    ASSERT_GE(corpus_->size(), 40u) << error;
    real_ = new std::vector<Recording>(LoadCorpus(CorpusDir() + "/real", &error));
    ASSERT_GE(real_->size(), 40u) << error;
  }
  static void TearDownTestSuite() {
    delete corpus_;
    delete real_;
  }

  static const Recording& Get(const std::string& name) {
    for (const auto* corpus : {corpus_, real_}) {
      for (const Recording& r : *corpus) {
        if (r.name == name) return r;
      }
    }
    ADD_FAILURE() << "no recording " << name;
    static const Recording kNone;
    return kNone;
  }

  static std::vector<Recording>* corpus_;  // espeak-ng voices
  static std::vector<Recording>* real_;    // real voices
};

std::vector<Recording>* AnswerDetectorTest::corpus_ = nullptr;
std::vector<Recording>* AnswerDetectorTest::real_ = nullptr;

// Who answered, how soon a person hears the message, and where a message
// left on a voicemail starts: never before its beep or the silence after
// its greeting (a quarter second at most), every start said.
void ExpectToldApart(const std::vector<Recording>& corpus) {
  int correct = 0, persons_as_machines = 0;
  std::vector<double> person_waits;
  std::map<std::string, std::map<std::string, int>> table;
  std::string starts;
  for (const Recording& r : corpus) {
    const Classified c = Classify(r.samples, MachineDetection{});
    const std::string said = AnsweredByWord(c.answer.who);
    ++table[r.who][said];
    if (r.who == "Machine" && (r.beep_end || r.speech_end)) {
      char line[160];
      for (const MessageStart& start : c.starts) {
        std::snprintf(line, sizeof line, "  %-36s message started %+.2f s against its %s\n",
                      r.name.c_str(), start.at - (r.beep_end ? *r.beep_end : *r.speech_end),
                      r.beep_end ? "beep's end" : "last speech");
        starts += line;
      }
    }
    correct += said == r.who;
    persons_as_machines += r.who == "Human" && said == "Machine";
    EXPECT_EQ(said, r.who) << r.name << ": " << c.answer.reason << "; " << c.answer.heard;
    if (r.who == "Human" && said == "Human") {
      // A person hears the message as soon as they stop speaking.
      EXPECT_LE(c.answer.at - *r.speech_end, 1.0) << r.name;
      EXPECT_GE(c.answer.at, *r.speech_end) << r.name;
      person_waits.push_back(c.answer.at - *r.speech_end);
    }
    if (r.who != "Machine" || said != "Machine") continue;
    if (r.beep_end) {
      // Over right after the beep and the quiet after it, not before.
      ASSERT_TRUE(c.greeting_over) << r.name;
      EXPECT_GE(*c.greeting_over, *r.beep_end) << r.name;
      EXPECT_LE(*c.greeting_over, *r.beep_end + 0.2) << r.name;
      EXPECT_THAT(c.answer.heard, HasSubstr(", beep at ")) << r.name;
    } else if (r.speech_end) {
      ASSERT_TRUE(c.greeting_over) << r.name;
      EXPECT_GE(*c.greeting_over, *r.speech_end) << r.name;
      EXPECT_THAT(c.answer.heard, Not(HasSubstr("beep"))) << r.name;
    }
    const std::optional<double> end = r.beep_end ? r.beep_end : r.speech_end;
    for (const MessageStart& start : c.starts) {
      EXPECT_THAT(start.after, MatchesRegex("after (beep at|[0-9.]+ s of silence).*")) << r.name;
      if (end) {
        EXPECT_GE(start.at, *end - 0.25) << r.name << ": " << start.after;
      }
    }
  }
  std::printf("labelled \\ said  Human Machine Unknown\n");
  for (const char* who : {"Human", "Machine", "Unknown"}) {
    std::printf("%-15s %6d %7d %7d\n", who, table[who]["Human"], table[who]["Machine"],
                table[who]["Unknown"]);
  }
  std::printf("%s", starts.c_str());
  EXPECT_GE(correct * 100, int(corpus.size()) * 97) << correct << " of " << corpus.size();
  EXPECT_EQ(persons_as_machines, 0);
  ASSERT_FALSE(person_waits.empty());
  std::sort(person_waits.begin(), person_waits.end());
  std::printf("persons decided %.2f s (median), %.2f s (most) after their speech ends\n",
              person_waits[person_waits.size() / 2], person_waits.back());
  EXPECT_LE(person_waits[person_waits.size() / 2], 1.0);
}

TEST_F(AnswerDetectorTest, TellsPersonsMachinesAndSilenceApart) { ExpectToldApart(*corpus_); }

TEST_F(AnswerDetectorTest, TellsRealVoicesApart) { ExpectToldApart(*real_); }

// A voicemail that pauses longer than its greeting's final silence: the
// message starts in the pause, stops when the greeting goes on (not for an
// echo of the message 30 dB below the greeting, heard in the pause), and
// starts again after the beep.
TEST_F(AnswerDetectorTest, AMessageStoppedWhenTheGreetingGoesOnStartsAgainAfterTheBeep) {
  const Recording& voicemail = Get("machine-british-beep");
  const std::vector<std::int16_t>& greeting = voicemail.samples;
  // Cut into the quiet between its two sentences (0.1 s below -50 dB after
  // its first 3 s).
  std::size_t cut = 0;
  for (std::size_t at = 3 * 8000; at + 800 <= greeting.size() && cut == 0; at += 160) {
    if (FrameLevel(std::span(greeting).subspan(at, 800)) < -50) cut = at + 400;
  }
  ASSERT_GT(cut, 0u);
  // Where its speech comes back (the first frame above -45 dB).
  std::size_t onset = cut;
  while (onset + 160 <= greeting.size() &&
         FrameLevel(std::span(greeting).subspan(onset, 160)) < -45) {
    onset += 160;
  }
  // The echo: its first second, 30 dB down.
  std::vector<std::int16_t> echo(greeting.begin(), greeting.begin() + 8000);
  for (std::int16_t& sample : echo) sample = std::int16_t(sample / 32);

  for (const bool echoed : {false, true}) {
    SCOPED_TRACE(echoed ? "echo in the pause" : "silent pause");
    std::vector<std::int16_t> paused(greeting.begin(), greeting.begin() + long(cut));
    paused.resize(paused.size() + std::size_t(1.6 * 8000), 0);
    if (echoed) paused.insert(paused.end(), echo.begin(), echo.end());
    const double inserted = double(paused.size() - cut) / 8000;
    paused.insert(paused.end(), greeting.begin() + long(cut), greeting.end());
    const double pause = double(cut) / 8000;
    const double beep_end = *voicemail.beep_end + inserted;
    const double speech_again = double(onset) / 8000 + inserted;

    const Classified c = Classify(paused, {}, 4);
    EXPECT_EQ(c.answer.who, AnsweredBy::kMachine);
    ASSERT_EQ(c.starts.size(), 2u);
    EXPECT_EQ(c.starts[0].after, "after 1.2 s of silence");
    EXPECT_NEAR(c.starts[0].at, pause + 1.2, 0.1);
    // Stopped as the voice came back, a frame or two after it.
    ASSERT_TRUE(c.starts[0].stopped);
    EXPECT_GE(*c.starts[0].stopped, speech_again - 0.06);
    EXPECT_LE(*c.starts[0].stopped, speech_again + 0.1);
    EXPECT_THAT(c.starts[1].after, StartsWith("after beep at "));
    EXPECT_FALSE(c.starts[1].stopped);
    ASSERT_TRUE(c.greeting_over);
    EXPECT_GE(*c.greeting_over, beep_end);
    EXPECT_LE(*c.greeting_over, beep_end + 0.2);
  }
}

TEST_F(AnswerDetectorTest, TheReasonAndWhatWasHeardAreSaid) {
  Classified c = Classify(Get("person-hello-us").samples, {});
  EXPECT_EQ(c.answer.reason, "1 word in 0.4 s, then 0.8 s of silence");
  EXPECT_EQ(c.answer.heard, "greeting 0.4 s, 1 word");

  c = Classify(Get("machine-long-family").samples, {});
  EXPECT_EQ(c.answer.reason, "speech longer than 1.5 s");
  EXPECT_THAT(c.answer.heard,
              ::testing::MatchesRegex("greeting [89]\\.[0-9] s, [0-9]+ words, beep at 9\\.7 s"));

  c = Classify(Get("fax-ced").samples, {});
  EXPECT_EQ(c.answer.reason, "fax answer tone");
  EXPECT_THAT(c.answer.heard, HasSubstr("no speech, fax answer tone at 0."));

  c = Classify(Get("silence").samples, {});
  EXPECT_EQ(c.answer.reason, "no speech within 2.5 s");
  EXPECT_DOUBLE_EQ(c.answer.at, 2.5);
}

TEST_F(AnswerDetectorTest, SettingsOfARequestChangeTheDecision) {
  auto who = [](const Recording& r, const char* text) {
    MachineDetection settings;
    std::string error;
    EXPECT_TRUE(ApplyMachineDetection(text, &settings, &error)) << error;
    return std::string(AnsweredByWord(Classify(r.samples, settings).answer.who));
  };
  // Fewer words allowed: a person saying four words counts as a machine.
  EXPECT_EQ(who(Get("person-yes-hello-who"), ""), "Human");
  EXPECT_EQ(who(Get("person-yes-hello-who"), "maximumNumberOfWords=2"), "Machine");
  // A longer greeting allowed: a short voicemail greeting passes for a person.
  EXPECT_EQ(who(Get("machine-short-no-beep"), "greeting=4,maximumNumberOfWords=10"), "Human");
  // A shorter initial silence: the person who waits 2 s is not heard.
  EXPECT_EQ(who(Get("person-silent-then-hello"), "initialSilence=1.5"), "Unknown");
  // Without beep detection a bare beep tells nothing.
  EXPECT_EQ(who(Get("machine-beep-only"), "beep=false"), "Unknown");
  // A longer silence after the greeting needed: decided later.
  MachineDetection slow;
  slow.after_greeting_silence = 1.5;
  const Classified c = Classify(Get("person-hello-us").samples, slow);
  EXPECT_NEAR(c.answer.at - *Get("person-hello-us").speech_end, 1.5, 0.1);
}

TEST_F(AnswerDetectorTest, AKeyMarksAPersonAtOnce) {
  AnswerDetector detector({});
  const Recording& machine = Get("machine-long-family");
  detector.Feed(std::span(machine.samples).first(8000 * 3));  // decided: a machine
  ASSERT_TRUE(detector.decision());
  EXPECT_EQ(detector.decision()->who, AnsweredBy::kMachine);
  EXPECT_FALSE(detector.GreetingOver());
  detector.KeyPressed("5");
  EXPECT_TRUE(detector.GreetingOver());
  EXPECT_EQ(detector.Result().who, AnsweredBy::kHuman);
  EXPECT_EQ(detector.Result().reason, "key 5 pressed");
  EXPECT_DOUBLE_EQ(detector.Result().at, 3.0);
}

// A beep is a pure tone of 0.3 to 1.5 s between 400 and 2000 Hz, steady in
// pitch and level, followed by quiet. Tones too long, too short or outside
// the band, a vowel-like tone with harmonics, a wavering tone and a tone
// that speech follows at once are none.
TEST_F(AnswerDetectorTest, OnlyAPureSteadyToneFollowedByQuietIsABeep) {
  auto tone = [](double seconds, auto sample, std::vector<std::int16_t> after = {}) {
    std::vector<std::int16_t> samples(std::size_t(8000 * 0.5), 0);
    for (int i = 0; i < int(8000 * seconds); ++i) {
      samples.push_back(std::int16_t(sample(double(i) / 8000)));
    }
    samples.insert(samples.end(), after.begin(), after.end());
    samples.resize(samples.size() + 8000 * 3, 0);
    return samples;
  };
  auto sine = [](double frequency) {
    return [frequency](double t) { return 8000 * std::sin(2 * M_PI * frequency * t); };
  };
  MachineDetection settings;
  settings.initial_silence = 4;
  auto said = [&](const std::vector<std::int16_t>& samples) {
    const Classified c = Classify(samples, settings);
    return c.answer.reason + "; " + c.answer.heard;
  };
  EXPECT_EQ(Classify(tone(0.5, sine(1000)), settings).answer.reason, "beep at 0.5 s");
  EXPECT_EQ(Classify(tone(0.4, sine(1937)), settings).answer.reason, "beep at 0.5 s");
  EXPECT_EQ(Classify(tone(2.5, sine(1000)), settings).answer.who, AnsweredBy::kUnknown);
  EXPECT_EQ(Classify(tone(0.5, sine(350)), settings).answer.who, AnsweredBy::kUnknown);
  EXPECT_EQ(Classify(tone(0.2, sine(1000)), settings).answer.who, AnsweredBy::kUnknown);

  // A held vowel at 180 Hz: its strongest harmonic at 720 Hz, the others
  // 6 to 12 dB below.
  auto vowel = [](double t) {
    double v = 0;
    const double weights[] = {0.2, 0.3, 0.5, 1.0, 0.5, 0.25};
    for (int k = 0; k < 6; ++k) v += weights[k] * std::sin(2 * M_PI * 180 * (k + 1) * t);
    return 6000 * v;
  };
  EXPECT_THAT(said(tone(0.6, vowel)), Not(HasSubstr("beep"))) << "vowel";
  // A sung note at 720 Hz with a little of its octave and a 5 Hz vibrato.
  auto sung = [](double t) {
    const double phase = 2 * M_PI * 720 * t + 3 * std::sin(2 * M_PI * 5 * t);
    return 8000 * std::sin(phase) + 1200 * std::sin(2 * phase);
  };
  EXPECT_THAT(said(tone(0.6, sung)), Not(HasSubstr("beep"))) << "sung";
  // A pure tone wavering by 20 Hz.
  auto wavering = [](double t) {
    return 8000 * std::sin(2 * M_PI * 1000 * t + 4 * std::sin(2 * M_PI * 5 * t));
  };
  EXPECT_THAT(said(tone(0.6, wavering)), Not(HasSubstr("beep"))) << "wavering";
  // A pure tone with a louder word right after it.
  std::vector<std::int16_t> word(8000 / 2);
  for (std::size_t i = 0; i < word.size(); ++i) word[i] = std::int16_t(vowel(double(i) / 8000));
  EXPECT_THAT(said(tone(0.5, sine(1000), word)), Not(HasSubstr("beep"))) << "tone, then a word";
  // The same tone with quiet after it is a beep.
  word.insert(word.begin(), 8000 / 5, 0);
  EXPECT_THAT(said(tone(0.5, sine(1000), word)), HasSubstr("beep at 0.5 s")) << "beep, then a word";
}

// A quick "Hello" of 0.25 s at normal loudness is a word: its loud voiced
// frames make one at half the minimum word length, which hiss of the same
// level and length does not.
TEST_F(AnswerDetectorTest, AQuickHelloIsHeard) {
  for (const char* name : {"person-hello-short-russian", "person-hello-short-default-ru"}) {
    const Recording& hello = Get(name);
    Classified c = Classify(hello.samples, {});
    EXPECT_EQ(c.answer.who, AnsweredBy::kHuman) << name << ": " << c.answer.reason;
    EXPECT_THAT(c.answer.reason, StartsWith("1 word in 0.")) << name;
    // Heard even when a word must last 0.3 s, longer than the hello.
    MachineDetection strict;
    strict.minimum_word_length = 0.3;
    c = Classify(hello.samples, strict);
    EXPECT_EQ(c.answer.who, AnsweredBy::kHuman) << name << ": " << c.answer.reason;

    // Hiss as loud and as long where the hello is: no word.
    std::vector<std::int16_t> hiss(hello.samples.size(), 0);
    std::uint32_t seed = 1;
    for (std::size_t at = 0; at + 160 <= hello.samples.size(); at += 160) {
      const double level = FrameLevel(std::span(hello.samples).subspan(at, 160));
      if (level < -45) continue;
      const double amplitude = 32768 * std::pow(10, level / 20) * std::sqrt(3.0);
      for (std::size_t i = at; i < at + 160; ++i) {
        seed = seed * 1664525 + 1013904223;
        hiss[i] = std::int16_t(amplitude * (double(seed >> 8) / double(1 << 24) * 2 - 1));
      }
    }
    c = Classify(hiss, strict);
    EXPECT_EQ(c.answer.who, AnsweredBy::kUnknown) << name << ": " << c.answer.reason;
  }
}

}  // namespace
}  // namespace ringwell::host::amd
