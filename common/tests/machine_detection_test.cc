// The settings text of answering-machine detection, as a request's
// MachineDetection attribute and the host's --machine-detection carry it.
#include "ringwell/common/machine_detection.h"

#include <gtest/gtest.h>

namespace ringwell {
namespace {

TEST(MachineDetectionTest, PairsChangeOnlyWhatTheyName) {
  MachineDetection settings;
  std::string error;
  ASSERT_TRUE(ApplyMachineDetection(
      " machine=hangup-and-retry, greeting = 2.25,maximumNumberOfWords=6,beep=false,", &settings,
      &error))
      << error;
  EXPECT_EQ(settings.machine, MachineAction::kHangUpAndRetry);
  EXPECT_DOUBLE_EQ(settings.greeting, 2.25);
  EXPECT_EQ(settings.maximum_number_of_words, 6);
  EXPECT_FALSE(settings.beep);
  EXPECT_DOUBLE_EQ(settings.initial_silence, 2.5);  // untouched
  EXPECT_DOUBLE_EQ(settings.after_greeting_silence, 0.8);
  EXPECT_DOUBLE_EQ(settings.total_analysis_time, 5);

  // Applied over what is in force: a request over the host's settings.
  ASSERT_TRUE(ApplyMachineDetection("machine=play", &settings, &error));
  EXPECT_EQ(settings.machine, MachineAction::kPlay);
  EXPECT_DOUBLE_EQ(settings.greeting, 2.25);
  EXPECT_TRUE(ApplyMachineDetection("", &settings, &error));
  EXPECT_STREQ(MachineActionWord(settings.machine), "play");
}

TEST(MachineDetectionTest, ABadPairNamesItselfAndChangesNothing) {
  const struct {
    const char* text;
    const char* error;
  } kCases[] = {
      {"greeting=2,speed=3", "\"speed\" is not a setting of machine detection"},
      {"greeting=-1", "greeting: \"-1\" is not a number of seconds from 0 to 60"},
      {"initialSilence=61", "initialSilence: \"61\" is not a number of seconds from 0 to 60"},
      {"totalAnalysisTime=0", "totalAnalysisTime: \"0\" is not a number of seconds above 0"},
      {"greeting=1.5s", "greeting: \"1.5s\" is not a number of seconds"},
      {"greeting=nan", "greeting: \"nan\" is not a number of seconds"},
      {"maximumNumberOfWords=2.5", "maximumNumberOfWords: \"2.5\" is not a whole number 1-100"},
      {"maximumNumberOfWords=0", "maximumNumberOfWords: \"0\" is not a whole number 1-100"},
      {"beep=yes", "beep: \"yes\" is neither true nor false"},
      {"machine=voicemail", "machine: \"voicemail\" is not one of leave-message"},
      {"greeting", "\"greeting\" is not of the form key=value"},
  };
  for (const auto& c : kCases) {
    MachineDetection settings;
    std::string error;
    EXPECT_FALSE(ApplyMachineDetection(c.text, &settings, &error)) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    EXPECT_DOUBLE_EQ(settings.greeting, 1.5) << c.text;
  }
}

}  // namespace
}  // namespace ringwell
