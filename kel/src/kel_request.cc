#include "kel_request.h"

#include "kel_object.h"
#include "ringwell/common/storage.h"

namespace ringwell::kel {
namespace {

std::string_view RequestTypeName(EKelRequestType type) {
  switch (type) {
    case kelCallRequest:
      return "Call";
    case kelPageRequest:
      return "Page";
  }
  return "Unknown";
}

std::string_view RecipientTypeName(EKelRequestType type) {
  switch (type) {
    case kelCallRequest:
      return "PhoneNumber";
    case kelPageRequest:
      return "PagerNumber";
  }
  return "Unknown";
}

// A typed dateTime element; a date the text form cannot carry (outside the
// years 100 to 9999) fails the write instead of leaving an empty element.
void AppendDate(pugi::xml_node parent, std::string_view name, OleDate value) {
  if (OleDateToIso(value).empty()) throw ComError(E_INVALIDARG);
  xml::SetTypedDate(xml::AppendElement(parent, name), value);
}

void AppendInt(pugi::xml_node parent, std::string_view name, std::int32_t value) {
  xml::SetTypedInt(xml::AppendElement(parent, name), value);
}

}  // namespace

CKelRequest::CKelRequest()
    : CAttributed(kKelRequestProgId),
      call_tree_(MakeComObject<CKelNode>()),
      recipients_(MakeComObject<CKelRecipients>()) {}

HRESULT CKelRequest::FinalConstruct() {
  request_id_ = Guid::Generate().ToString();
  return S_OK;
}

HRESULT CKelRequest::get_NumberOfRings(std::int32_t* pVal) {
  return GetValue(number_of_rings_, pVal);
}
HRESULT CKelRequest::put_NumberOfRings(std::int32_t newVal) {
  return PutChecked(kKelRequestProgId, "NumberOfRings", newVal, newVal > 0, &number_of_rings_);
}

HRESULT CKelRequest::get_NumberOfAttemptsIfBusy(std::int32_t* pVal) {
  return GetValue(number_of_attempts_if_busy_, pVal);
}
HRESULT CKelRequest::put_NumberOfAttemptsIfBusy(std::int32_t newVal) {
  return PutChecked(kKelRequestProgId, "NumberOfAttemptsIfBusy", newVal, newVal >= 0,
                    &number_of_attempts_if_busy_);
}

HRESULT CKelRequest::get_DelayIfBusy(std::int32_t* pVal) { return GetValue(delay_if_busy_, pVal); }
HRESULT CKelRequest::put_DelayIfBusy(std::int32_t newVal) {
  return PutChecked(kKelRequestProgId, "DelayIfBusy", newVal, newVal > 0, &delay_if_busy_);
}

HRESULT CKelRequest::get_NumberOfAttemptsIfNoAnswer(std::int32_t* pVal) {
  return GetValue(number_of_attempts_if_no_answer_, pVal);
}
HRESULT CKelRequest::put_NumberOfAttemptsIfNoAnswer(std::int32_t newVal) {
  return PutChecked(kKelRequestProgId, "NumberOfAttemptsIfNoAnswer", newVal, newVal >= 0,
                    &number_of_attempts_if_no_answer_);
}

HRESULT CKelRequest::get_DelayIfNoAnswer(std::int32_t* pVal) {
  return GetValue(delay_if_no_answer_, pVal);
}
HRESULT CKelRequest::put_DelayIfNoAnswer(std::int32_t newVal) {
  return PutChecked(kKelRequestProgId, "DelayIfNoAnswer", newVal, newVal > 0, &delay_if_no_answer_);
}

HRESULT CKelRequest::get_CallTree(_IKelNode** pVal) { return GetObject(call_tree_, pVal); }

HRESULT CKelRequest::get_StartTime(OleDate* pVal) { return GetValue(start_time_, pVal); }
HRESULT CKelRequest::put_StartTime(OleDate newVal) {
  start_time_ = newVal;
  return S_OK;
}

HRESULT CKelRequest::get_StopTime(OleDate* pVal) { return GetValue(stop_time_, pVal); }
HRESULT CKelRequest::put_StopTime(OleDate newVal) {
  stop_time_ = newVal;
  return S_OK;
}

HRESULT CKelRequest::get_Recipients(IKelRecipients** pVal) { return GetObject(recipients_, pVal); }

HRESULT CKelRequest::get_MaxGreetingDuration(std::int32_t* pVal) {
  return GetValue(max_greeting_duration_, pVal);
}
HRESULT CKelRequest::put_MaxGreetingDuration(std::int32_t newVal) {
  return PutChecked(kKelRequestProgId, "MaxGreetingDuration", newVal, newVal >= 0,
                    &max_greeting_duration_);
}

HRESULT CKelRequest::get_Type(EKelRequestType* pVal) { return GetValue(type_, pVal); }
HRESULT CKelRequest::put_Type(EKelRequestType newVal) {
  type_ = newVal;
  return S_OK;
}

HRESULT CKelRequest::get_DelayIfError(std::int32_t* pVal) {
  return GetValue(delay_if_error_, pVal);
}
HRESULT CKelRequest::put_DelayIfError(std::int32_t newVal) {
  return PutChecked(kKelRequestProgId, "DelayIfError", newVal, newVal > 0, &delay_if_error_);
}

HRESULT CKelRequest::get_NumberOfAttemptsIfError(std::int32_t* pVal) {
  return GetValue(number_of_attempts_if_error_, pVal);
}
HRESULT CKelRequest::put_NumberOfAttemptsIfError(std::int32_t newVal) {
  return PutChecked(kKelRequestProgId, "NumberOfAttemptsIfError", newVal, newVal >= 0,
                    &number_of_attempts_if_error_);
}

HRESULT CKelRequest::get_AdditionalInfo(std::string* pVal) {
  return GetValue(additional_info_, pVal);
}

HRESULT CKelRequest::put_AdditionalInfo(const char* newVal) {
  const std::string text = FromNullable(newVal);
  return KelReporter(kKelRequestProgId).Guard("CKelRequest::put_AdditionalInfo", [&] {
    xml::Document parsed;
    const HRESULT hr = ThrowIfFailed(parsed.LoadXml(text));
    // The request file holds the text's first node as the only child of
    // AdditionalInfo, so that node must be the document's root element (no
    // declaration, comment or processing instruction before it).
    if (hr != S_OK || parsed.FirstChild().type() != pugi::node_element) {
      return InvalidPropertyValue(kKelRequestProgId, "AdditionalInfo", text);
    }
    additional_info_ = text;
    return S_OK;
  });
}

HRESULT CKelRequest::GetRequestId(std::string* a_pbstrRequestId) {
  return GetValue(request_id_, a_pbstrRequestId);
}

HRESULT CKelRequest::SetRequestId(const std::string& a_bstrRequestId) {
  request_id_ = a_bstrRequestId;
  return S_OK;
}

HRESULT CKelRequest::XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode, std::int32_t) {
  if (pDOMDocument == nullptr || !pDOMNode) return E_INVALIDARG;
  return KelReporter(kKelRequestProgId).Guard("CKelRequest::XMLize", [&] {
    return Write(pDOMDocument, pDOMNode);
  });
}

HRESULT CKelRequest::Write(xml::Document* document, pugi::xml_node parent) {
  pugi::xml_node request = xml::AppendElement(parent, "Request");
  xml::SetAttribute(request, "xmlns", xml::kXmlDataNamespace);
  xml::SetAttribute(request, "xmlns:dt", xml::kDataTypesNamespace);
  xml::SetAttribute(request, "ID", request_id_);
  xml::SetAttribute(request, "UserID", kToolkitUserId);
  xml::SetAttribute(request, "Type", RequestTypeName(type_));

  AppendDate(request, "StartTime", start_time_);
  AppendDate(request, "StopTime", stop_time_);

  pugi::xml_node recipients = xml::AppendElement(request, "Recipients");
  const std::string recipient_type(RecipientTypeName(type_));
  for (const auto& recipient : recipients_->items()) {
    ThrowIfFailed(recipient->SetAttribute("Type", recipient_type.c_str()));
    const HRESULT hr = XMLizeChild(recipient.Get(), document, recipients);
    if (Failed(hr)) return hr;
  }

  AppendInt(request, "NumberOfRings", number_of_rings_);
  AppendInt(request, "NumberOfAttemptsIfBusy", number_of_attempts_if_busy_);
  AppendInt(request, "DelayIfBusy", delay_if_busy_);
  AppendInt(request, "NumberOfAttemptsIfNoAnswer", number_of_attempts_if_no_answer_);
  AppendInt(request, "DelayIfNoAnswer", delay_if_no_answer_);
  AppendInt(request, "MaxGreetingDuration", max_greeting_duration_);
  AppendInt(request, "NumberOfAttemptsIfError", number_of_attempts_if_error_);
  AppendInt(request, "DelayIfError", delay_if_error_);

  HRESULT hr = CAttributesHolder::XMLize(document, request);
  if (Failed(hr)) return hr;
  // The identifier names the file and, through it, the request's report: a
  // client attribute of the same name must not replace it.
  xml::SetAttribute(request, "ID", request_id_);

  if (!additional_info_.empty()) {
    xml::Document info;
    if (info.LoadXml(additional_info_) != S_OK) throw ComError(E_INVALIDARG);
    pugi::xml_node element = xml::AppendElement(request, "AdditionalInfo");
    if (!element.append_copy(info.FirstChild())) throw ComError(E_OUTOFMEMORY);
  }

  pugi::xml_node call_tree = xml::AppendElement(request, "CallTree");
  return call_tree_->XMLize(document, call_tree, 1);
}

HRESULT CKelRequest::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelRequest>(iid);
}

}  // namespace ringwell::kel
