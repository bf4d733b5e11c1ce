// Submits one notification through the toolkit, the way a client application
// does: every object is created by its ProgID from the registered libkel.so.
//
//   kel-submit-example STORAGE_ROOT
//
// The request calls two numbers within the next hour. Whoever answers hears a
// spoken greeting in a female voice followed by a recorded wav file from the
// file store, and can press 1 to hear the details, and then 9 to hear them
// once more. On success the program prints the request's
// identifier; the request file is STORAGE_ROOT/Inbox/<identifier>.xml.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ringwell/common/class_registry.h"
#include "ringwell/common/error_info.h"
#include "ringwell/kel/kel.h"

using namespace ringwell;
using namespace ringwell::kel;

namespace {

// Ends the program with the failing call's description.
void Check(HRESULT hr, const char* what) {
  if (Succeeded(hr)) return;
  const auto info = GetErrorInfo();
  std::string description = info ? info->description : ErrorText(hr);
  while (!description.empty() && (description.back() == '\n' || description.back() == '\r')) {
    description.pop_back();
  }
  std::fprintf(stderr, "%s failed (%s): %s\n", what,
               HexCode(static_cast<std::uint32_t>(hr)).c_str(), description.c_str());
  std::exit(1);
}

template <class I>
ComPtr<I> Create(const char* progid) {
  ComPtr<I> object;
  Check(CreateInstance(std::string_view(progid), &object), progid);
  return object;
}

void AddRecipient(IKelRequest* request, const char* number) {
  auto recipient = Create<IKelRecipient>("Kel.KelRecipient");
  Check(recipient->put_Recipient(number), "Recipient");
  ComPtr<IKelRecipients> recipients;
  Check(request->get_Recipients(recipients.Put()), "Recipients");
  Check(recipients->Append(recipient.Get()), "Recipients.Append");
}

void AddPart(IKelMessage* message, const char* content, EKelMessagePartType type,
             const char* voice = nullptr) {
  auto part = Create<IKelMessagePart>("Kel.KelMessagePart");
  Check(part->SetContent(content, type), "SetContent");
  if (voice != nullptr) Check(part->SetAttribute("Voice", voice), "SetAttribute");
  ComPtr<IKelMessageParts> parts;
  Check(message->get_Parts(parts.Put()), "Parts");
  Check(parts->Append(part.Get()), "Parts.Append");
}

// A response to `node` for `button` that says `text`; returns it so that
// further responses can hang below it.
ComPtr<IKelResponse> AddResponse(_IKelNode* node, const char* button, const char* text) {
  auto response = Create<IKelResponse>("Kel.KelResponse");
  Check(response->put_Button(button), "Button");
  ComPtr<IKelMessage> message;
  Check(response->get_Message(message.Put()), "Message");
  AddPart(message.Get(), text, kelTextMessagePart);
  ComPtr<IKelResponses> responses;
  Check(node->get_Responses(responses.Put()), "Responses");
  Check(responses->Append(response.Get()), "Responses.Append");
  return response;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s STORAGE_ROOT\n", argv[0]);
    return 2;
  }

  auto service = Create<IKelService>("Kel.KelService");
  Check(service->put_Location(argv[1]), "Location");

  auto request = Create<IKelRequest>("Kel.KelRequest");
  AddRecipient(request.Get(), "5550101");
  AddRecipient(request.Get(), "5550102");
  const OleDate now = OleDateNow();
  Check(request->put_StartTime(now), "StartTime");
  Check(request->put_StopTime(now + 1.0 / 24), "StopTime");
  Check(request->put_NumberOfRings(5), "NumberOfRings");

  ComPtr<_IKelNode> call_tree;
  Check(request->get_CallTree(call_tree.Put()), "CallTree");
  ComPtr<IKelMessage> greeting;
  Check(call_tree->get_Message(greeting.Put()), "Message");
  AddPart(greeting.Get(), "The backup of the file server failed tonight.", kelTextMessagePart,
          "Female");
  AddPart(greeting.Get(), "alarm.wav", kelFileNameMessagePart);

  ComPtr<IKelResponse> details =
      AddResponse(call_tree.Get(), "1", "The disk array reported a write error at 2 am.");
  AddResponse(details.Get(), "9", "The disk array reported a write error at 2 am.");

  std::string id;
  Check(service->SubmitRequest(request.Get(), &id), "SubmitRequest");
  std::printf("%s\n", id.c_str());
  return 0;
}
