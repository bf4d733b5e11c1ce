// Answering-machine detection on the labelled recordings of tests/data/amd,
// fed as a call feeds them, and how the settings of a request change it.
#include "amd/answer_detector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "corpus.h"

namespace ringwell::host::amd {
namespace {

using namespace testing;
using ::testing::HasSubstr;

class AnswerDetectorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    corpus_ = new std::vector<Recording>(LoadCorpus(CorpusDir(), &error));
    ASSERT_GE(corpus_->size(), 40u) << error;
  }
  static void TearDownTestSuite() { delete corpus_; }

  static const Recording& Get(const std::string& name) {
    for (const Recording& r : *corpus_) {
      if (r.name == name) return r;
    }
    ADD_FAILURE() << "no recording " << name;
    static const Recording kNone;
    return kNone;
  }

  static std::vector<Recording>* corpus_;
};

std::vector<Recording>* AnswerDetectorTest::corpus_ = nullptr;

TEST_F(AnswerDetectorTest, TellsPersonsMachinesAndSilenceApart) {
  int correct = 0, persons_as_machines = 0;
  for (const Recording& r : *corpus_) {
    const Classified c = Classify(r.samples, MachineDetection{});
    const std::string said = AnsweredByWord(c.answer.who);
    correct += said == r.who;
    persons_as_machines += r.who == "Human" && said == "Machine";
    EXPECT_EQ(said, r.who) << r.name << ": " << c.answer.reason << "; " << c.answer.heard;
    if (r.who == "Human" && said == "Human") {
      // A person hears the message as soon as they stop speaking.
      EXPECT_LE(c.answer.at - *r.speech_end, 1.0) << r.name;
      EXPECT_GE(c.answer.at, *r.speech_end) << r.name;
    }
    if (r.beep_end) {
      // A voicemail's greeting is over right after its beep, not before.
      ASSERT_TRUE(c.greeting_over) << r.name;
      EXPECT_GE(*c.greeting_over, *r.beep_end) << r.name;
      EXPECT_LE(*c.greeting_over, *r.beep_end + 0.1) << r.name;
      EXPECT_THAT(c.answer.heard, HasSubstr(", beep at ")) << r.name;
    }
  }
  EXPECT_GE(correct * 100, int(corpus_->size()) * 95);
  EXPECT_LE(persons_as_machines, 1);
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

TEST_F(AnswerDetectorTest, ASteadyToneTooLongOrOutsideTheBandIsNoBeep) {
  auto tone = [](double frequency, double seconds) {
    std::vector<std::int16_t> samples(std::size_t(8000 * 0.5), 0);
    for (int i = 0; i < int(8000 * seconds); ++i) {
      samples.push_back(std::int16_t(8000 * std::sin(2 * M_PI * frequency * i / 8000)));
    }
    samples.resize(samples.size() + 8000 * 3, 0);
    return samples;
  };
  MachineDetection settings;
  settings.initial_silence = 4;
  EXPECT_EQ(Classify(tone(1000, 0.5), settings).answer.reason, "beep at 0.5 s");
  EXPECT_EQ(Classify(tone(1000, 2.5), settings).answer.who, AnsweredBy::kUnknown);
  EXPECT_EQ(Classify(tone(350, 0.5), settings).answer.who, AnsweredBy::kUnknown);
  EXPECT_EQ(Classify(tone(1000, 0.2), settings).answer.who, AnsweredBy::kUnknown);
}

}  // namespace
}  // namespace ringwell::host::amd
