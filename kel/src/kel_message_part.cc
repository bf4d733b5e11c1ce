#include "kel_message_part.h"

#include "kel_object.h"

namespace ringwell::kel {

HRESULT CKelMessagePart::get_Type(EKelMessagePartType* pVal) { return GetValue(type_, pVal); }

HRESULT CKelMessagePart::get_Content(std::string* pVal) { return GetValue(content_, pVal); }

HRESULT CKelMessagePart::SetContent(const char* a_bstrContent, EKelMessagePartType a_eType) {
  std::string content = FromNullable(a_bstrContent);
  if (a_eType == kelFileNameMessagePart) {
    if (content.find_first_of(kForbiddenFileNameCharacters) != std::string::npos) {
      return RuleViolation(kKelMessagePartProgId, kel_msg::kForbiddenFileNameCharacters,
                           kForbiddenFileNameCharacters);
    }
    // The name becomes a path below the file store: it must name a file.
    if (content.empty() || content == "." || content == "..") return E_INVALIDARG;
  } else if (a_eType != kelTextMessagePart) {
    return RuleViolation(kKelMessagePartProgId, kel_msg::kInvalidMessagePartType);
  }
  type_ = a_eType;
  content_ = std::move(content);
  return S_OK;
}

HRESULT CKelMessagePart::XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode,
                                std::int32_t) {
  if (pDOMDocument == nullptr || !pDOMNode) return E_INVALIDARG;
  return KelReporter(kKelMessagePartProgId).Guard("CKelMessagePart::XMLize", [&] {
    pugi::xml_node element = xml::AppendElement(pDOMNode, "MessagePart");
    xml::SetAttribute(element, "Type", type_ == kelFileNameMessagePart ? "File" : "Text");
    const HRESULT hr = CAttributesHolder::XMLize(pDOMDocument, element);
    if (Failed(hr)) return hr;
    xml::SetTypedString(element, content_);
    return S_OK;
  });
}

HRESULT CKelMessagePart::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelMessagePart>(iid);
}

}  // namespace ringwell::kel
