// kel refuses at submission what cannot work, checks without writing
// (--dry-run), takes the retry settings as flags, and renders what a
// recipient will hear (say, preview) in the telephony audio format.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>

#include "kel_cli_fixture.h"
#include "test_wav.h"

namespace ringwell::kel::cli {
namespace {

using ringwell::testing::ListDir;
using testing::KelCliTest;

class KelRehearsalTest : public KelCliTest {
 protected:
  void SetUp() override {
    KelCliTest::SetUp();
    // The converter a preview's recordings go through, as the daemon's do.
    ASSERT_EQ(ringwell::testing::RunProgram({ringwell::testing::ProgramPath("ringwell-regsvr"),
                                             ringwell::testing::LibraryPath("wavshift")}),
              0);
  }
  // Fails the test unless `path` is a wav file of that rate, channel count and
  // libsndfile encoding with some sound in it.
  static void ExpectWav(const std::string& path, int rate, int channels, int subtype) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    sf_close(file);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV) << path;
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, subtype) << path;
    EXPECT_EQ(info.samplerate, rate) << path;
    EXPECT_EQ(info.channels, channels) << path;
    EXPECT_GE(info.frames, rate / 10) << path;
  }
};

TEST_F(KelRehearsalTest, SubmitRefusesWhatCannotWorkAndWritesNothing) {
  std::string output;
  EXPECT_EQ(Kel("submit --to 5551234 --say x --from 2020-01-01T08:00:00Z "
                "--until 2020-01-01T09:00:00Z",
                &output),
            1);
  EXPECT_NE(output.find("kel: --until: the window is over already: it ended at 2020-01-01"),
            std::string::npos)
      << output;

  SetConfigNumber("MaxTextBytes", 10);
  EXPECT_EQ(Kel("submit --to 5551234 --say 'The disk of db1 is full'", &output), 1);
  EXPECT_EQ(output,
            "kel: --say: the text has 23 bytes, more than the 10 that are spoken "
            "(MaxTextBytes in " +
                registry_path() + ")\n");
  DeleteConfigValue("MaxTextBytes");

  EXPECT_EQ(Kel("submit --to 5551234 --say Hello --voice Vulcan", &output), 1);
  EXPECT_NE(output.find("kel: --voice: \"Vulcan\" is not a voice of this installation"),
            std::string::npos)
      << output;
  // A voice set as a part's attribute is the same voice.
  ringwell::testing::WriteFile(scratch() + "request.json",
                               R"({"recipients": ["5551234"], "message": [{"say": "Hi",
                                   "attributes": {"Voice": "vulcan"}}]})");
  EXPECT_EQ(Kel("submit request.json", &output), 1);
  EXPECT_NE(output.find("message[0].attributes.Voice: \"vulcan\" is not a voice"),
            std::string::npos)
      << output;
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());

  // The genders and the engine's own voice and variant names are voices.
  for (const char* voice : {"Female", "Male", "Klingon", "Alex"}) {
    EXPECT_EQ(Kel(std::string("submit --to 5551234 --say Hello --voice ") + voice, &output), 0)
        << output;
  }
  EXPECT_EQ(ListDir(root() + "Inbox").size(), 4u);
}

TEST_F(KelRehearsalTest, DryRunShowsTheRequestAndWritesNothing) {
  std::string output;
  ASSERT_EQ(Kel("submit --dry-run --to 5551234 --to 5559876 --say 'Disk full' --voice Female "
                "--retries 5 --rings 4 --until +2h",
                &output),
            0)
      << output;
  EXPECT_NE(output.find("would submit a call to 2 recipients: 5551234 5559876\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("window:  "), std::string::npos) << output;
  EXPECT_NE(output.find("retries: busy 5 every 10 min, no answer 5 every 30 min, error 5 every "
                        "1 min; 4 rings\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("message, part 1: say \"Disk full\" (voice Female)\n"), std::string::npos)
      << output;
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  // A refusal is the same as without --dry-run.
  EXPECT_EQ(Kel("submit --dry-run --to 5551234 --say x --voice Vulcan", &output), 1);
  EXPECT_NE(output.find("is not a voice"), std::string::npos) << output;
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
}

TEST_F(KelRehearsalTest, RetriesAndRingsAsFlags) {
  std::string output;
  ASSERT_EQ(Kel("submit --to 5551234 --say x --retries 2 --retry-delay 5 --busy 6,2 --rings 3 "
                "--max-greeting 20",
                &output),
            0)
      << output;
  const std::string id(Trim(output));
  const std::string file = ringwell::testing::ReadFile(root() + "Inbox/" + id + ".xml");
  for (const char* element :
       {"<NumberOfRings dt:dt=\"int\">3</NumberOfRings>",
        "<NumberOfAttemptsIfBusy dt:dt=\"int\">6</NumberOfAttemptsIfBusy>",
        "<DelayIfBusy dt:dt=\"int\">2</DelayIfBusy>",
        "<NumberOfAttemptsIfNoAnswer dt:dt=\"int\">2</NumberOfAttemptsIfNoAnswer>",
        "<DelayIfNoAnswer dt:dt=\"int\">5</DelayIfNoAnswer>",
        "<NumberOfAttemptsIfError dt:dt=\"int\">2</NumberOfAttemptsIfError>",
        "<MaxGreetingDuration dt:dt=\"int\">20</MaxGreetingDuration>"}) {
    EXPECT_NE(file.find(element), std::string::npos) << element << "\n" << file;
  }
  EXPECT_EQ(Kel("submit --to 5551234 --say x --busy 5,x", &output), 2);
  EXPECT_NE(output.find("--busy: \"5,x\" is not ATTEMPTS or ATTEMPTS,MINUTES"), std::string::npos)
      << output;
  EXPECT_EQ(Kel("submit --to 5551234 --say x --rings 0", &output), 2) << output;
  ringwell::testing::WriteFile(scratch() + "request.json",
                               R"({"recipients": ["5551234"], "message": ["x"]})");
  EXPECT_EQ(Kel("submit request.json --retries 1", &output), 2);
  EXPECT_NE(output.find("--retries cannot be combined with a request file"), std::string::npos)
      << output;
  EXPECT_EQ(ListDir(root() + "Inbox").size(), 1u);
}

TEST_F(KelRehearsalTest, SayWritesTheTelephonyFormat) {
  std::string output;
  EXPECT_EQ(Kel("say 'The backup failed.' -o out.wav", &output), 1);
  EXPECT_NE(output.find("AudioFormat is missing in " + registry_path()), std::string::npos)
      << output;
  EXPECT_FALSE(std::filesystem::exists(scratch() + "out.wav"));

  SetConfigNumber("AudioFormat", 49);  // 8 kHz mu-law mono
  ASSERT_EQ(Kel("say 'The backup failed.' -o out.wav --voice Female", &output), 0) << output;
  EXPECT_EQ(output, "wrote out.wav\n");
  ExpectWav(scratch() + "out.wav", 8000, 1, SF_FORMAT_ULAW);
  SetConfigNumber("AudioFormat", 18);  // 16 kHz 16-bit mono
  ASSERT_EQ(Kel("say 'The backup failed.' -o out.wav", &output), 0) << output;
  ExpectWav(scratch() + "out.wav", 16000, 1, SF_FORMAT_PCM_16);
  EXPECT_EQ(Kel("say Hello -o other.wav --voice Vulcan", &output), 1);
  EXPECT_NE(output.find("\"Vulcan\" is not a voice"), std::string::npos) << output;
  EXPECT_FALSE(std::filesystem::exists(scratch() + "other.wav"));
}

TEST_F(KelRehearsalTest, PreviewWritesOneFilePerPartOfTheCallTree) {
  SetConfigNumber("AudioFormat", 49);
  client::testing::WriteWav(scratch() + "greeting.wav");
  ringwell::testing::WriteFile(scratch() + "request.json", R"({
    "recipients": ["5551234"],
    "message": ["The disk is full.", {"play": "greeting.wav"}],
    "responses": [{"button": "1", "message": ["Acknowledged."],
                   "responses": [{"button": "2", "message": ["Escalated."]}]}]})");
  std::string output;
  ASSERT_EQ(Kel("preview request.json -o heard", &output), 0) << output;
  const std::vector<std::string> files = {"key1-key2-part1.wav", "key1-part1.wav",
                                          "message-part1.wav", "message-part2.wav"};
  EXPECT_EQ(ListDir(scratch() + "heard"), files);
  for (const std::string& file : files)
    ExpectWav(scratch() + "heard/" + file, 8000, 1, SF_FORMAT_ULAW);
  EXPECT_EQ(output,
            "heard/message-part1.wav  message, part 1: says \"The disk is full.\"\n"
            "heard/message-part2.wav  message, part 2: plays \"greeting.wav\"\n"
            "heard/key1-part1.wav  after key 1, part 1: says \"Acknowledged.\"\n"
            "heard/key1-key2-part1.wav  after key 1, then key 2, part 1: says \"Escalated.\"\n");
  // Nothing was submitted or stored.
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  EXPECT_TRUE(ListDir(root() + "Files/{0}").empty());
}

}  // namespace
}  // namespace ringwell::kel::cli
