#include "kel_request.h"

#include <gtest/gtest.h>

#include "kel_test_util.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel {
namespace {

using namespace testing_util;

constexpr HRESULT kInvalidProperty = MakeHresult(kel_msg::kInvalidPropertyValue);

class KelRequestTest : public testing::RingwellTest {
 protected:
  ComPtr<IKelRequest> request_ = NewRequest();

  std::int32_t Get(HRESULT (IKelRequest::*getter)(std::int32_t*)) {
    std::int32_t value = -12345;
    EXPECT_EQ((request_.Get()->*getter)(&value), S_OK);
    return value;
  }
};

TEST_F(KelRequestTest, NewRequestHasTheDocumentedDefaults) {
  EXPECT_EQ(Get(&IKelRequest::get_NumberOfRings), 7);
  EXPECT_EQ(Get(&IKelRequest::get_NumberOfAttemptsIfBusy), 3);
  EXPECT_EQ(Get(&IKelRequest::get_DelayIfBusy), 10);
  EXPECT_EQ(Get(&IKelRequest::get_NumberOfAttemptsIfNoAnswer), 3);
  EXPECT_EQ(Get(&IKelRequest::get_DelayIfNoAnswer), 30);
  EXPECT_EQ(Get(&IKelRequest::get_MaxGreetingDuration), 15);
  EXPECT_EQ(Get(&IKelRequest::get_DelayIfError), 1);
  EXPECT_EQ(Get(&IKelRequest::get_NumberOfAttemptsIfError), 0);
  EKelRequestType type = kelPageRequest;
  EXPECT_EQ(request_->get_Type(&type), S_OK);
  EXPECT_EQ(type, kelCallRequest);
  OleDate start = 0, stop = 0;
  EXPECT_EQ(request_->get_StartTime(&start), S_OK);
  EXPECT_EQ(request_->get_StopTime(&stop), S_OK);
  EXPECT_EQ(start, 29221.0);
  EXPECT_EQ(stop, 29221.0);
  std::string info = "x";
  EXPECT_EQ(request_->get_AdditionalInfo(&info), S_OK);
  EXPECT_EQ(info, "");

  ComPtr<IKelRecipients> recipients;
  ASSERT_EQ(request_->get_Recipients(recipients.Put()), S_OK);
  std::int32_t count = -1;
  EXPECT_EQ(recipients->get_Count(&count), S_OK);
  EXPECT_EQ(count, 0);
  ComPtr<IKelRecipients> again;
  ASSERT_EQ(request_->get_Recipients(again.Put()), S_OK);
  EXPECT_EQ(again, recipients);  // the same collection every time

  ComPtr<IKelMessage> message;
  ASSERT_EQ(CallTree(request_.Get())->get_Message(message.Put()), S_OK);
  std::int32_t replays = -1, timeout = -1;
  EXPECT_EQ(message->get_Replays(&replays), S_OK);
  EXPECT_EQ(message->get_Timeout(&timeout), S_OK);
  EXPECT_EQ(replays, 0);
  EXPECT_EQ(timeout, 2);
  ComPtr<IKelMessageParts> parts;
  ASSERT_EQ(message->get_Parts(parts.Put()), S_OK);
  EXPECT_EQ(parts->get_Count(&count), S_OK);
  EXPECT_EQ(count, 0);

  EXPECT_EQ(request_->get_NumberOfRings(nullptr), E_INVALIDARG);
  EXPECT_EQ(request_->get_CallTree(nullptr), E_INVALIDARG);
  EXPECT_EQ(message->get_Parts(nullptr), E_INVALIDARG);

  const std::string id = RequestId(request_.Get());
  EXPECT_TRUE(Guid::Parse(id));
  EXPECT_NE(id, RequestId(NewRequest().Get()));
}

TEST_F(KelRequestTest, SettersKeepTheirRangesAndNameTheRejectedValue) {
  struct Case {
    HRESULT (IKelRequest::*put)(std::int32_t);
    HRESULT (IKelRequest::*get)(std::int32_t*);
    std::int32_t value;
    const char* refused_as;  // null: accepted
  };
  const Case cases[] = {
      {&IKelRequest::put_NumberOfRings, &IKelRequest::get_NumberOfRings, 0, "NumberOfRings = 0"},
      {&IKelRequest::put_NumberOfRings, &IKelRequest::get_NumberOfRings, 1, nullptr},
      {&IKelRequest::put_NumberOfAttemptsIfBusy, &IKelRequest::get_NumberOfAttemptsIfBusy, 0,
       nullptr},
      {&IKelRequest::put_NumberOfAttemptsIfBusy, &IKelRequest::get_NumberOfAttemptsIfBusy, -1,
       "NumberOfAttemptsIfBusy = -1"},
      {&IKelRequest::put_DelayIfBusy, &IKelRequest::get_DelayIfBusy, 0, "DelayIfBusy = 0"},
      {&IKelRequest::put_NumberOfAttemptsIfNoAnswer, &IKelRequest::get_NumberOfAttemptsIfNoAnswer,
       -7, "NumberOfAttemptsIfNoAnswer = -7"},
      {&IKelRequest::put_DelayIfNoAnswer, &IKelRequest::get_DelayIfNoAnswer, 0,
       "DelayIfNoAnswer = 0"},
      {&IKelRequest::put_MaxGreetingDuration, &IKelRequest::get_MaxGreetingDuration, 0, nullptr},
      {&IKelRequest::put_MaxGreetingDuration, &IKelRequest::get_MaxGreetingDuration, -1,
       "MaxGreetingDuration = -1"},
      {&IKelRequest::put_DelayIfError, &IKelRequest::get_DelayIfError, -5, "DelayIfError = -5"},
      {&IKelRequest::put_NumberOfAttemptsIfError, &IKelRequest::get_NumberOfAttemptsIfError, -1,
       "NumberOfAttemptsIfError = -1"},
      {&IKelRequest::put_NumberOfAttemptsIfError, &IKelRequest::get_NumberOfAttemptsIfError, 4,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refused_as ? c.refused_as : "accepted");
    const std::int32_t before = Get(c.get);
    const HRESULT hr = (request_.Get()->*c.put)(c.value);
    if (c.refused_as == nullptr) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(Get(c.get), c.value);
      continue;
    }
    EXPECT_EQ(hr, kInvalidProperty);
    EXPECT_EQ(Get(c.get), before);
    auto info = GetErrorInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->description,
              std::string("Invalid property  value for property: ") + c.refused_as + ".\r\n");
    EXPECT_EQ(info->source, "Kel.KelRequest.1");
  }
  EXPECT_TRUE(EventLogEntries().empty());  // rule violations reach only the caller

  // Type and the times are stored as given.
  EXPECT_EQ(request_->put_Type(static_cast<EKelRequestType>(7)), S_OK);
  EKelRequestType type = kelCallRequest;
  EXPECT_EQ(request_->get_Type(&type), S_OK);
  EXPECT_EQ(type, 7);
  EXPECT_EQ(request_->put_StopTime(-3.5), S_OK);
}

TEST_F(KelRequestTest, MessageSettersRefuseNegativeValues) {
  ComPtr<IKelMessage> message;
  ASSERT_EQ(CallTree(request_.Get())->get_Message(message.Put()), S_OK);
  EXPECT_EQ(message->put_Replays(-1), kInvalidProperty);
  EXPECT_EQ(TakeDescription(), "Invalid property  value for property: Replays = -1.\r\n");
  EXPECT_EQ(message->put_Timeout(-2), kInvalidProperty);
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, "Invalid property  value for property: Timeout = -2.\r\n");
  EXPECT_EQ(info->source, "Kel.KelMessage.1");
  EXPECT_EQ(message->put_Timeout(0), S_OK);
  EXPECT_EQ(message->put_Replays(3), S_OK);
  std::int32_t replays = 0, timeout = -1;
  message->get_Replays(&replays);
  message->get_Timeout(&timeout);
  EXPECT_EQ(replays, 3);
  EXPECT_EQ(timeout, 0);
}

TEST_F(KelRequestTest, AdditionalInfoMustBeADocumentThatStartsWithItsRoot) {
  const char* kDocument = "<Extra a=\"1\"><Item>x</Item></Extra>";
  ASSERT_EQ(request_->put_AdditionalInfo(kDocument), S_OK);
  for (const char* refused :
       {"x", "", "<a><b></a>", "<?xml version=\"1.0\"?><Extra/>", "<!-- note --><Extra/>"}) {
    SCOPED_TRACE(refused);
    EXPECT_EQ(request_->put_AdditionalInfo(refused), kInvalidProperty);
    EXPECT_EQ(
        TakeDescription(),
        std::string("Invalid property  value for property: AdditionalInfo = ") + refused + ".\r\n");
  }
  EXPECT_EQ(request_->put_AdditionalInfo(nullptr), kInvalidProperty);
  std::string info;
  EXPECT_EQ(request_->get_AdditionalInfo(&info), S_OK);
  EXPECT_EQ(info, kDocument);  // kept unchanged, as given
}

TEST_F(KelRequestTest, ExtraNodesBelongToTheNodeTheyWereAddedTo) {
  ComPtr<_IKelNode> root = CallTree(request_.Get());
  ComPtr<IKelResponse> response = AddResponse(root.Get(), "1");
  ComPtr<_IKelNode> extra;
  ASSERT_EQ(response->AddExtraNode(extra.Put()), S_OK);
  ASSERT_TRUE(extra);
  EXPECT_EQ(response->AddExtraNode(nullptr), E_INVALIDARG);

  auto count_of = [](_IKelNode* node) {
    ComPtr<IKelNodes> nodes;
    EXPECT_EQ(node->get_ExtraNodes(nodes.Put()), S_OK);
    std::int32_t count = -1;
    nodes->get_Count(&count);
    return count;
  };
  EXPECT_EQ(count_of(response.Get()), 1);
  EXPECT_EQ(count_of(root.Get()), 0);
  ComPtr<IKelNodes> nodes;
  ASSERT_EQ(response->get_ExtraNodes(nodes.Put()), S_OK);
  ComPtr<_IKelNode> first;
  ASSERT_EQ(nodes->get_Item(Variant(0), first.Put()), S_OK);
  EXPECT_EQ(first, extra);

  // A new node has its own message, and is a plain node (no attributes).
  ComPtr<IKelMessage> extra_message, response_message;
  ASSERT_EQ(extra->get_Message(extra_message.Put()), S_OK);
  ASSERT_EQ(response->get_Message(response_message.Put()), S_OK);
  EXPECT_NE(extra_message, response_message);
  ComPtr<IKelResponse> not_a_response;
  EXPECT_EQ(extra.As(&not_a_response), E_NOINTERFACE);
}

}  // namespace
}  // namespace ringwell::kel
