// A request that passed the toolkit (or was written by hand) but goes past the
// configured limits of a whole request fails in the daemon with the matching
// status and an event naming the limit, before its audio can fill the disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "file_processor.h"
#include "prepax_test_support.h"

namespace ringwell::prepax {
namespace {

using namespace ringwell::kel;
using ringwell::testing::ListDir;

class RequestLimitsTest : public testing::PrepaxTest {};

TEST_F(RequestLimitsTest, RequestsPastTheLimitsFailWithTheMatchingStatus) {
  StoreRecording("tone.wav");  // one second
  struct Case {
    const char* name;
    std::function<void(IKelRequest*)> build;
    std::pair<const char*, std::uint32_t> limit;  // set after the submission
    const char* status;
    const char* event;
  };
  const Case cases[] = {
      {"four parts",
       [this](IKelRequest* r) {
         for (const char* text : {"one", "two", "three", "four"}) {
           AddPart(r, kelTextMessagePart, text);
         }
       },
       {"MaxRequestParts", 3},
       "InternalError",
       "The request has 4 message parts, more than the limit of 3 (MaxRequestParts)."},
      {"30 bytes of text",
       [this](IKelRequest* r) {
         AddPart(r, kelTextMessagePart, "Fifteen bytes..");
         AddPart(r, kelTextMessagePart, "...and fifteen.");
       },
       {"MaxRequestTextBytes", 29},
       "ErrorGenerateVoiceFile",
       "The request has 30 bytes of text, more than the limit of 29 (MaxRequestTextBytes)."},
      {"three seconds of recordings",
       [this](IKelRequest* r) {
         for (int i = 0; i < 3; ++i) AddPart(r, kelFileNameMessagePart, "tone.wav");
       },
       {"MaxRequestAudioSeconds", 2},
       "ErrorConvertFile",
       "The request's audio lasts more than 2 seconds, the limit (MaxRequestAudioSeconds)."},
      {"a recording and a long sentence",
       [this](IKelRequest* r) {
         AddPart(r, kelFileNameMessagePart, "tone.wav");
         AddPart(r, kelTextMessagePart,
                 "The cooling of the server room has failed, and the temperature is rising.");
       },
       {"MaxRequestAudioSeconds", 2},
       "ErrorGenerateVoiceFile",
       "The request's audio lasts more than 2 seconds, the limit (MaxRequestAudioSeconds)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearEventLog();
    auto request = NewRequest({"5551234"});
    c.build(request.Get());
    const std::string id = Submit(request.Get());
    SetConfigNumber(c.limit.first, c.limit.second);
    CFileProcessor processor;
    processor.ScanInbox();
    processor.ProcessFiles();
    DeleteConfigValue(c.limit.first);

    EXPECT_EQ(ReportStatus(id), c.status);
    EXPECT_EQ(ReportStatus(id, "5551234"), c.status);
    EXPECT_FALSE(std::filesystem::exists(InboxFile(id)));
    EXPECT_FALSE(std::filesystem::exists(RequestDir(id)));
    const auto entries = EventLogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].strings, (std::vector<std::string>{"CFileProcessor::ProcessFiles",
                                                            "Request " + id + ": " + c.event}));
    EXPECT_EQ(entries[1].strings,
              (std::vector<std::string>{"CFileProcessor::ProcessFiles", ErrorText(E_INVALIDARG)}));
  }
  EXPECT_TRUE(ListDir(root() + "Requests").empty());
}

}  // namespace
}  // namespace ringwell::prepax
