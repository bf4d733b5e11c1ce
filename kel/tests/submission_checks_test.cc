// What SubmitRequest refuses in the request file it is about to write: content
// that is not XML 1.0, which the report generator and other readers would
// refuse. Nothing is written then, and the caller is told where the fault is.
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

}  // namespace
}  // namespace ringwell::kel
