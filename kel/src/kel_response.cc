#include "kel_response.h"

#include "kel_object.h"

namespace ringwell::kel {

HRESULT CKelResponse::get_Button(std::string* pVal) { return GetValue(button_, pVal); }

HRESULT CKelResponse::put_Button(const char* newVal) {
  button_ = FromNullable(newVal);
  return S_OK;
}

HRESULT CKelResponse::XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode, std::int32_t) {
  if (pDOMDocument == nullptr || !pDOMNode) return E_INVALIDARG;
  return KelReporter(kKelResponseProgId).Guard("CKelResponse::XMLize", [&] {
    pugi::xml_node element = xml::AppendElement(pDOMNode, "Response");
    xml::SetAttribute(element, "Button", button_);
    const HRESULT hr = CAttributesHolder::XMLize(pDOMDocument, element);
    if (Failed(hr)) return hr;
    return content_.Write(pDOMDocument, element, /*always_responses=*/false);
  });
}

HRESULT CKelResponse::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelResponse>(iid);
}

}  // namespace ringwell::kel
