// The checks SubmitRequest runs before it writes anything.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "kel_log.h"
#include "kel_service.h"

namespace ringwell::kel {
namespace {

// No caller menu is nested this deep; deeper trees would only exhaust the stack.
constexpr std::size_t kMaxCallTreeDepth = 64;

HRESULT CallTreeRefused(std::string_view why) {
  return KelReporter(kKelServiceProgId)
      .TwoStrings(kel_msg::kErrorIn, "CKelService::ValidateResponse", why, E_INVALIDARG,
                  LogFlag::kNo);
}

// A property getter of interface I.
template <class I>
using IntGetter = HRESULT (I::*)(std::int32_t*);

// Reads each property through `object` and fails on the first negative one.
template <class I, std::size_t N>
HRESULT CheckNotNegative(I* object,
                         const std::pair<std::string_view, IntGetter<I>> (&properties)[N]) {
  for (const auto& [name, getter] : properties) {
    std::int32_t value = 0;
    ThrowIfFailed((object->*getter)(&value));
    if (value < 0) return InvalidPropertyValue(kKelServiceProgId, name, value);
  }
  return S_OK;
}

// Asks `object` for interface I; null when it does not offer it.
template <class I>
ComPtr<I> Offered(IUnknown* object) {
  ComPtr<I> result;
  if (object != nullptr) object->QueryInterface(I::kIid, result.PutVoid());
  return result;
}

// Runs `check` on each response of `responses`, in order.
template <class Check>
HRESULT ForEachResponse(IKelResponses* responses, Check&& check) {
  std::int32_t count = 0;
  ThrowIfFailed(responses->get_Count(&count));
  for (std::int32_t i = 0; i < count; ++i) {
    ComPtr<IKelResponse> response;
    ThrowIfFailed(responses->get_Item(Variant(i), response.Put()));
    const HRESULT hr = check(response.Get());
    if (Failed(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT CKelService::ValidateRequest(IUnknown* a_pRequest) {
  ComPtr<IKelRequest> request = Offered<IKelRequest>(a_pRequest);
  if (!request) return E_INVALIDARG;
  return KelReporter(kKelServiceProgId).Guard("CKelService::ValidateRequest", [&] {
    HRESULT hr = CheckNotNegative<IKelRequest>(
        request.Get(),
        {{"DelayIfBusy", &IKelRequest::get_DelayIfBusy},
         {"DelayIfNoAnswer", &IKelRequest::get_DelayIfNoAnswer},
         {"MaxGreetingDuration", &IKelRequest::get_MaxGreetingDuration},
         {"NumberOfAttemptsIfBusy", &IKelRequest::get_NumberOfAttemptsIfBusy},
         {"NumberOfRings", &IKelRequest::get_NumberOfRings},
         {"NumberOfAttemptsIfNoAnswer", &IKelRequest::get_NumberOfAttemptsIfNoAnswer}});
    if (Failed(hr)) return hr;

    ComPtr<IKelRecipients> recipients;
    ThrowIfFailed(request->get_Recipients(recipients.Put()));
    std::int32_t count = 0;
    ThrowIfFailed(recipients->get_Count(&count));
    if (count < 1) return RuleViolation(kKelServiceProgId, kel_msg::kNoRecipients);

    OleDate start = 0;
    OleDate stop = 0;
    ThrowIfFailed(request->get_StartTime(&start));
    ThrowIfFailed(request->get_StopTime(&stop));
    // A NaN compares false, so it fails the rule as well.
    if (!(LinearDate(stop) > LinearDate(start))) {
      return RuleViolation(kKelServiceProgId, kel_msg::kStopBeforeStart);
    }

    ComPtr<_IKelNode> call_tree;
    ThrowIfFailed(request->get_CallTree(call_tree.Put()));
    ComPtr<IKelMessage> message;
    ThrowIfFailed(call_tree->get_Message(message.Put()));
    hr = ValidateMessage(message.Get());
    if (Failed(hr)) return hr;

    ComPtr<IKelResponses> responses;
    ThrowIfFailed(call_tree->get_Responses(responses.Put()));
    return ForEachResponse(responses.Get(),
                           [this](IKelResponse* response) { return ValidateResponse(response); });
  });
}

HRESULT CKelService::ValidateMessage(IUnknown* a_pMessage) {
  ComPtr<IKelMessage> message = Offered<IKelMessage>(a_pMessage);
  if (!message) return E_INVALIDARG;
  return KelReporter(kKelServiceProgId).Guard("CKelService::ValidateMessage", [&] {
    return CheckNotNegative<IKelMessage>(message.Get(), {{"Replays", &IKelMessage::get_Replays},
                                                         {"Timeout", &IKelMessage::get_Timeout}});
  });
}

HRESULT CKelService::ValidateResponse(IUnknown* a_pResponse) {
  std::vector<const void*> above;
  return ValidateResponseBelow(a_pResponse, above);
}

HRESULT CKelService::ValidateResponseBelow(IUnknown* a_pResponse, std::vector<const void*>& above) {
  ComPtr<IKelResponse> response = Offered<IKelResponse>(a_pResponse);
  if (!response) return E_INVALIDARG;
  if (std::find(above.begin(), above.end(), response.Get()) != above.end()) {
    return CallTreeRefused("A response is appended below itself: the call tree has a cycle.");
  }
  if (above.size() >= kMaxCallTreeDepth) {
    return CallTreeRefused("The call tree is nested more than " +
                           std::to_string(kMaxCallTreeDepth) + " responses deep.");
  }
  return KelReporter(kKelServiceProgId).Guard("CKelService::ValidateResponse", [&] {
    ComPtr<IKelMessage> message;
    ThrowIfFailed(response->get_Message(message.Put()));
    const HRESULT hr = ValidateMessage(message.Get());
    if (Failed(hr)) return hr;
    ComPtr<IKelResponses> responses;
    ThrowIfFailed(response->get_Responses(responses.Put()));
    above.push_back(response.Get());
    const HRESULT nested = ForEachResponse(
        responses.Get(), [&](IKelResponse* child) { return ValidateResponseBelow(child, above); });
    above.pop_back();
    return nested;
  });
}

}  // namespace ringwell::kel
