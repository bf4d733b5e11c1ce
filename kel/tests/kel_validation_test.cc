#include <gtest/gtest.h>

#include "kel_service.h"
#include "kel_test_util.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;

constexpr HRESULT kNoRecipients = MakeHresult(kel_msg::kNoRecipients);
constexpr HRESULT kStopBeforeStart = MakeHresult(kel_msg::kStopBeforeStart);

class KelValidationTest : public testing::RingwellTest {
 protected:
  HRESULT ValidateTimes(OleDate start, OleDate stop) {
    EXPECT_EQ(request_->put_StartTime(start), S_OK);
    EXPECT_EQ(request_->put_StopTime(stop), S_OK);
    return service_->ValidateRequest(request_.Get());
  }

  ComPtr<CKelService> service_ = MakeComObject<CKelService>();
  ComPtr<IKelRequest> request_ = NewRequest();
};

TEST_F(KelValidationTest, RecipientsAreCheckedBeforeTheTimes) {
  ASSERT_EQ(request_->put_StopTime(0.0), S_OK);  // before the start as well
  EXPECT_EQ(service_->ValidateRequest(request_.Get()), kNoRecipients);
  EXPECT_EQ(TakeSource(), "Kel.KelService.1");
  AddRecipient(request_.Get(), "555");
  EXPECT_EQ(service_->ValidateRequest(request_.Get()), kStopBeforeStart);
  EXPECT_TRUE(EventLogEntries().empty());
}

TEST_F(KelValidationTest, StopMustBeStrictlyLaterOnTheLinearScale) {
  AddRecipient(request_.Get(), "555");
  // A new request's times are equal.
  EXPECT_EQ(service_->ValidateRequest(request_.Get()), kStopBeforeStart);
  EXPECT_EQ(ValidateTimes(40000.25, 40000.25), kStopBeforeStart);
  EXPECT_EQ(ValidateTimes(40000.25, 40000.5), S_OK);
  // Before 30 December 1899 the fraction still counts forward: -1.25 is
  // 29 December 06:00 and -1.5 is 29 December 12:00.
  EXPECT_EQ(ValidateTimes(-1.25, -1.5), S_OK);
  EXPECT_EQ(ValidateTimes(-1.5, -1.25), kStopBeforeStart);
  // -0.5 and 0.5 are both 30 December 1899 12:00.
  EXPECT_EQ(ValidateTimes(-0.5, 0.5), kStopBeforeStart);
  EXPECT_EQ(ValidateTimes(-2.75, 0.0), S_OK);
}

TEST_F(KelValidationTest, EachValidatorWantsItsKindOfObject) {
  ComPtr<IKelRecipient> recipient = AddRecipient(request_.Get(), "555");
  EXPECT_EQ(service_->ValidateRequest(recipient.Get()), E_INVALIDARG);
  EXPECT_EQ(service_->ValidateRequest(nullptr), E_INVALIDARG);
  EXPECT_EQ(service_->ValidateMessage(request_.Get()), E_INVALIDARG);
  ComPtr<_IKelNode> node = CallTree(request_.Get());
  EXPECT_EQ(service_->ValidateResponse(node.Get()), E_INVALIDARG);  // a node, not a response

  ComPtr<IKelMessage> message;
  ASSERT_EQ(node->get_Message(message.Put()), S_OK);
  EXPECT_EQ(service_->ValidateMessage(message.Get()), S_OK);
  ComPtr<IKelResponse> response = AddResponse(node.Get(), "1");
  AddResponse(AddResponse(response.Get(), "2").Get(), "3");
  EXPECT_EQ(service_->ValidateResponse(response.Get()), S_OK);
}

}  // namespace
}  // namespace ringwell::kel
