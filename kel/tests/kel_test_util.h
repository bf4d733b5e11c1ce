// Helpers shared by the toolkit's tests: a request and its call tree built the
// way a client builds them, and what a failing call left behind.
//
// Thread-safety: belongs to the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kel_message_part.h"
#include "kel_recipient.h"
#include "kel_request.h"
#include "kel_response.h"
#include "ringwell/common/error_info.h"
#include "ringwell/testing/fixture.h"

namespace ringwell::kel::testing_util {

inline ComPtr<IKelRequest> NewRequest() {
  auto request = MakeComObject<CKelRequest>();
  EXPECT_EQ(request->FinalConstruct(), S_OK);
  return ComPtr<IKelRequest>(request.Get());
}

inline ComPtr<_IKelNode> CallTree(IKelRequest* request) {
  ComPtr<_IKelNode> node;
  EXPECT_EQ(request->get_CallTree(node.Put()), S_OK);
  return node;
}

inline ComPtr<IKelRecipient> AddRecipient(IKelRequest* request, const char* number) {
  ComPtr<IKelRecipient> recipient(MakeComObject<CKelRecipient>().Get());
  ComPtr<IKelRecipients> recipients;
  EXPECT_EQ(recipient->put_Recipient(number), S_OK);
  EXPECT_EQ(request->get_Recipients(recipients.Put()), S_OK);
  EXPECT_EQ(recipients->Append(recipient.Get()), S_OK);
  return recipient;
}

inline ComPtr<IKelMessagePart> AddPart(_IKelNode* node, const char* content,
                                       EKelMessagePartType type) {
  ComPtr<IKelMessagePart> part(MakeComObject<CKelMessagePart>().Get());
  ComPtr<IKelMessage> message;
  ComPtr<IKelMessageParts> parts;
  EXPECT_EQ(part->SetContent(content, type), S_OK);
  EXPECT_EQ(node->get_Message(message.Put()), S_OK);
  EXPECT_EQ(message->get_Parts(parts.Put()), S_OK);
  EXPECT_EQ(parts->Append(part.Get()), S_OK);
  return part;
}

inline ComPtr<IKelResponse> AddResponse(_IKelNode* node, const char* button) {
  ComPtr<IKelResponse> response(MakeComObject<CKelResponse>().Get());
  ComPtr<IKelResponses> responses;
  EXPECT_EQ(response->put_Button(button), S_OK);
  EXPECT_EQ(node->get_Responses(responses.Put()), S_OK);
  EXPECT_EQ(responses->Append(response.Get()), S_OK);
  return response;
}

inline std::string RequestId(IKelRequest* request) {
  ComPtr<_IKelRequestInternal> internal;
  std::string id;
  EXPECT_EQ(ComPtr<IKelRequest>(request).As(&internal), S_OK);
  EXPECT_EQ(internal->GetRequestId(&id), S_OK);
  return id;
}

// "<source>: <description>" of the calling thread's error object, which is
// taken away; "<none>" when there is none.
inline std::string TakeError() {
  auto info = GetErrorInfo();
  return info ? info->source + ": " + info->description : "<none>";
}

}  // namespace ringwell::kel::testing_util
