#include "kel_message.h"

#include <string>

#include "kel_object.h"

namespace ringwell::kel {

CKelMessage::CKelMessage()
    : CAttributed(kKelMessageProgId), parts_(MakeComObject<CKelMessageParts>()) {}

HRESULT CKelMessage::get_Parts(IKelMessageParts** pVal) { return GetObject(parts_, pVal); }

HRESULT CKelMessage::get_Replays(std::int32_t* pVal) { return GetValue(replays_, pVal); }

HRESULT CKelMessage::put_Replays(std::int32_t newVal) {
  return PutChecked(kKelMessageProgId, "Replays", newVal, newVal >= 0, &replays_);
}

HRESULT CKelMessage::get_Timeout(std::int32_t* pVal) { return GetValue(timeout_, pVal); }

HRESULT CKelMessage::put_Timeout(std::int32_t newVal) {
  return PutChecked(kKelMessageProgId, "Timeout", newVal, newVal >= 0, &timeout_);
}

HRESULT CKelMessage::XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode, std::int32_t) {
  if (pDOMDocument == nullptr || !pDOMNode) return E_INVALIDARG;
  return KelReporter(kKelMessageProgId).Guard("CKelMessage::XMLize", [&] {
    pugi::xml_node element = xml::AppendElement(pDOMNode, "Message");
    xml::SetAttribute(element, "Replays", std::to_string(replays_));
    xml::SetAttribute(element, "Timeout", std::to_string(timeout_));
    HRESULT hr = CAttributesHolder::XMLize(pDOMDocument, element);
    for (const auto& part : parts_->items()) {
      if (Failed(hr)) break;
      hr = XMLizeChild(part.Get(), pDOMDocument, element);
    }
    return Failed(hr) ? hr : S_OK;
  });
}

HRESULT CKelMessage::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelMessage>(iid);
}

}  // namespace ringwell::kel
