// What SubmitRequest refuses in the request file it is about to write: content
// that is not XML 1.0, which the report generator and other readers would
// refuse, and requests past the configured limits of a whole request.
// Nothing is written then, and the caller is told where the fault is.
#include <gtest/gtest.h>

#include <functional>

#include "kel_service.h"
#include "kel_test_util.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;
using testing::ListDir;

class SubmissionChecksTest : public testing::RingwellTest {
 protected:
  void SetUp() override {
    RingwellTest::SetUp();
    service_ = MakeComObject<CKelService>();
  }
  ComPtr<IKelRequest> Request() {
    ComPtr<IKelRequest> request = NewRequest();
    AddRecipient(request.Get(), "5551234");
    EXPECT_EQ(request->put_StartTime(40000.0) | request->put_StopTime(40000.5), S_OK);
    return request;
  }
  ComPtr<CKelService> service_;
};

TEST_F(SubmissionChecksTest, ContentXmlCannotCarryIsRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* name;
    std::function<void(IKelRequest*)> build;
    const char* where;
  };
  const Case cases[] = {
      {"control character in the AdditionalInfo",
       [](IKelRequest* r) { ASSERT_EQ(r->put_AdditionalInfo("<X>\x01</X>"), S_OK); },
       "the text of Request/AdditionalInfo/X holds a character XML cannot carry"},
      {"attribute of the AdditionalInfo that is not UTF-8",
       [](IKelRequest* r) { ASSERT_EQ(r->put_AdditionalInfo("<X a=\"\xC3\x28\"/>"), S_OK); },
       "the attribute a of Request/AdditionalInfo/X holds a character XML cannot carry"},
      {"recipient that is not UTF-8", [](IKelRequest* r) { AddRecipient(r, "555\xFF"); },
       "the text of Request/Recipients/Recipient holds a character XML cannot carry"},
      {"spoken text with U+FFFF",
       [](IKelRequest* r) { AddPart(CallTree(r).Get(), "Hello \xEF\xBF\xBF", kelTextMessagePart); },
       "the text of Request/CallTree/Message/MessagePart holds a character XML cannot carry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<IKelRequest> request = Request();
    c.build(request.Get());
    std::string id;
    EXPECT_EQ(service_->SubmitRequest(request.Get(), &id), E_INVALIDARG);
    EXPECT_EQ(TakeError(), std::string("Kel.KelService.1: Error in CKelService::SubmitRequest: "
                                       "The request cannot be written: ") +
                               c.where + ".\r\n");
  }
  EXPECT_TRUE(ListDir(root() + "Inbox").empty());
  EXPECT_TRUE(EventLogEntries().empty());

  // What XML can carry goes through, whatever the script.
  ComPtr<IKelRequest> request = Request();
  ASSERT_EQ(request->put_AdditionalInfo("<X a=\"\xC3\xA9\">\xF0\x9F\x94\xA5 tab\there</X>"), S_OK);
  AddPart(CallTree(request.Get()).Get(), "Grüße aus Köln", kelTextMessagePart);
  std::string id;
  EXPECT_EQ(service_->SubmitRequest(request.Get(), &id), S_OK);
  EXPECT_EQ(ListDir(root() + "Inbox"), std::vector<std::string>{id + ".xml"});
}

// A wav file of `seconds` seconds of silence, 8 kHz 16-bit mono.
void WriteSilence(const std::string& path, int seconds) {
  const std::uint32_t bytes = 16000u * static_cast<std::uint32_t>(seconds);
  auto le = [](std::string& out, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  std::string wav = "RIFF";
  le(wav, 36 + bytes, 4);
  wav += "WAVEfmt ";
  for (const auto& [value, size] :
       {std::pair{16u, 4}, {1u, 2}, {1u, 2}, {8000u, 4}, {16000u, 4}, {2u, 2}, {16u, 2}}) {
    le(wav, value, size);
  }
  wav += "data";
  le(wav, bytes, 4);
  wav.append(bytes, '\0');
  testing::WriteFile(path, wav);
}

// A request as a whole is bounded (parts, text, audio of the recordings it
// names): past a limit it is refused with a description naming the limit.
TEST_F(SubmissionChecksTest, RequestsPastTheConfiguredLimitsAreRefused) {
  SetConfigNumber("MaxRequestParts", 4);
  SetConfigNumber("MaxRequestTextBytes", 20);
  SetConfigNumber("MaxRequestAudioSeconds", 5);
  WriteSilence(root() + "Files/{0}/three.wav", 3);
  struct Case {
    const char* name;
    std::function<void(_IKelNode*)> build;
    const char* description;  // empty: accepted
  };
  const Case cases[] = {
      {"four parts, one of them in a response, 20 bytes, 3 seconds",
       [](_IKelNode* tree) {
         AddPart(tree, "0123456789", kelTextMessagePart);
         AddPart(tree, "three.wav", kelFileNameMessagePart);
         AddPart(tree, "not stored yet.wav", kelFileNameMessagePart);
         AddPart(ComPtr<_IKelNode>(AddResponse(tree, "1").Get()).Get(), "0123456789",
                 kelTextMessagePart);
       },
       ""},
      {"five parts",
       [](_IKelNode* tree) {
         for (int i = 0; i < 4; ++i) AddPart(tree, "a", kelTextMessagePart);
         AddPart(ComPtr<_IKelNode>(AddResponse(tree, "1").Get()).Get(), "b", kelTextMessagePart);
       },
       "The request has 5 message parts, more than the limit of 4 (MaxRequestParts)."},
      {"21 bytes of text",
       [](_IKelNode* tree) {
         AddPart(tree, "0123456789", kelTextMessagePart);
         AddPart(tree, "Grüße!!!!", kelTextMessagePart);  // 11 bytes in UTF-8
       },
       "The request has 21 bytes of text, more than the limit of 20 (MaxRequestTextBytes)."},
      {"6 seconds of recordings",
       [](_IKelNode* tree) {
         AddPart(tree, "three.wav", kelFileNameMessagePart);
         AddPart(tree, "three.wav", kelFileNameMessagePart);
       },
       "The request's audio lasts more than 5 seconds, the limit (MaxRequestAudioSeconds)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<IKelRequest> request = Request();
    c.build(CallTree(request.Get()).Get());
    std::string id;
    const HRESULT hr = service_->SubmitRequest(request.Get(), &id);
    if (std::string(c.description).empty()) {
      EXPECT_EQ(hr, S_OK) << TakeError();
      continue;
    }
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(TakeError(), std::string("Kel.KelService.1: Error in CKelService::SubmitRequest: ") +
                               c.description + "\r\n");
  }
  EXPECT_EQ(ListDir(root() + "Inbox").size(), 1u);  // the first request's
  EXPECT_TRUE(EventLogEntries().empty());

  // Without configured values the defaults hold: 100 parts.
  DeleteConfigValue("MaxRequestParts");
  ComPtr<IKelRequest> request = Request();
  for (int i = 0; i < 101; ++i) AddPart(CallTree(request.Get()).Get(), "a", kelTextMessagePart);
  std::string id;
  EXPECT_EQ(service_->SubmitRequest(request.Get(), &id), E_INVALIDARG);
  EXPECT_NE(TakeError().find("101 message parts, more than the limit of 100"), std::string::npos);
}

}  // namespace
}  // namespace ringwell::kel
