#include "kel_recipient.h"

#include "kel_object.h"

namespace ringwell::kel {

HRESULT CKelRecipient::get_Recipient(std::string* pVal) { return GetValue(recipient_, pVal); }

HRESULT CKelRecipient::put_Recipient(const char* newVal) {
  recipient_ = FromNullable(newVal);
  return S_OK;
}

HRESULT CKelRecipient::XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode, std::int32_t) {
  if (pDOMDocument == nullptr || !pDOMNode) return E_INVALIDARG;
  return KelReporter(kKelRecipientProgId).Guard("CKelRecipient::XMLize", [&] {
    pugi::xml_node element = xml::AppendElement(pDOMNode, "Recipient");
    xml::SetTypedString(element, recipient_);
    return CAttributesHolder::XMLize(pDOMDocument, element);
  });
}

HRESULT CKelRecipient::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelRecipient>(iid);
}

}  // namespace ringwell::kel
