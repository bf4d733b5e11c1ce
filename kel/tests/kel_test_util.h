// Helpers shared by the toolkit's tests: objects made the way the class
// factories make them, and the description a failing call left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
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

inline ComPtr<IKelRecipient> AddRecipient(IKelRequest* request, const char* number) {
  ComPtr<IKelRecipient> recipient(MakeComObject<CKelRecipient>().Get());
  EXPECT_EQ(recipient->put_Recipient(number), S_OK);
  ComPtr<IKelRecipients> recipients;
  EXPECT_EQ(request->get_Recipients(recipients.Put()), S_OK);
  EXPECT_EQ(recipients->Append(recipient.Get()), S_OK);
  return recipient;
}

inline ComPtr<IKelMessagePart> AddPart(_IKelNode* node, const char* content,
                                       EKelMessagePartType type) {
  ComPtr<IKelMessagePart> part(MakeComObject<CKelMessagePart>().Get());
  EXPECT_EQ(part->SetContent(content, type), S_OK);
  ComPtr<IKelMessage> message;
  EXPECT_EQ(node->get_Message(message.Put()), S_OK);
  ComPtr<IKelMessageParts> parts;
  EXPECT_EQ(message->get_Parts(parts.Put()), S_OK);
  EXPECT_EQ(parts->Append(part.Get()), S_OK);
  return part;
}

inline ComPtr<IKelResponse> AddResponse(_IKelNode* node, const char* button) {
  ComPtr<IKelResponse> response(MakeComObject<CKelResponse>().Get());
  EXPECT_EQ(response->put_Button(button), S_OK);
  ComPtr<IKelResponses> responses;
  EXPECT_EQ(node->get_Responses(responses.Put()), S_OK);
  EXPECT_EQ(responses->Append(response.Get()), S_OK);
  return response;
}

inline ComPtr<_IKelNode> CallTree(IKelRequest* request) {
  ComPtr<_IKelNode> node;
  EXPECT_EQ(request->get_CallTree(node.Put()), S_OK);
  return node;
}

inline std::string RequestId(IKelRequest* request) {
  ComPtr<_IKelRequestInternal> internal;
  EXPECT_EQ(ComPtr<IKelRequest>(request).As(&internal), S_OK);
  std::string id;
  EXPECT_EQ(internal->GetRequestId(&id), S_OK);
  return id;
}

// The description of the calling thread's error object ("<none>" when there
// is none), which is taken away.
inline std::string TakeDescription() {
  auto info = GetErrorInfo();
  return info ? info->description : "<none>";
}

inline std::string TakeSource() {
  auto info = GetErrorInfo();
  return info ? info->source : "<none>";
}

// Registers the component library lib<name>.so of the build tree in the
// fixture's registry with ringwell-regsvr; true when that succeeded.
inline bool RegisterLibrary(const std::string& name) {
  const std::string command =
      testing::ProgramPath("ringwell-regsvr") + " " + testing::LibraryPath(name);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
  }
  return ::pclose(pipe) == 0;
}

}  // namespace ringwell::kel::testing_util
