#include "kel_call.h"

#include "kel_object.h"
#include "ringwell/common/variant.h"

namespace ringwell::kel {

HRESULT CKelCall::get_Time(OleDate* a_pValue) { return GetValue(time_, a_pValue); }

HRESULT CKelCall::get_Answer(std::string* a_pbstrValue) { return GetValue(answer_, a_pbstrValue); }

HRESULT CKelCall::get_Protocol(std::string* a_pbstrValue) {
  return GetValue(protocol_, a_pbstrValue);
}

HRESULT CKelCall::get_Duration(std::int32_t* a_pnValue) { return GetValue(duration_, a_pnValue); }

HRESULT CKelCall::get_Status(std::string* a_pbstrValue) { return GetValue(status_, a_pbstrValue); }

HRESULT CKelCall::get_Error(std::string* a_pbstrValue) { return GetValue(error_, a_pbstrValue); }

HRESULT CKelCall::get_AnsweredBy(std::string* a_pbstrValue) {
  return GetValue(answered_by_, a_pbstrValue);
}

HRESULT CKelCall::DeXMLize(pugi::xml_node pDOMNode, std::int32_t) {
  if (pDOMNode.type() != pugi::node_element) return E_INVALIDARG;
  return KelReporter(kKelCallProgId).Guard("CKelCall::DeXMLize", [&] {
    const pugi::xml_node time = xml::ChildElement(pDOMNode, "Time");
    if (!time) throw ComError(E_INVALIDARG);
    const auto date = xml::TypedDate(time);
    if (!date) throw ComError(E_INVALIDARG);
    time_ = *date;

    answer_ = xml::Text(xml::ChildElement(pDOMNode, "Answer"));
    protocol_ = xml::Text(xml::ChildElement(pDOMNode, "Protocol"));
    answered_by_ = xml::Text(xml::ChildElement(pDOMNode, "AnsweredBy"));

    duration_ = -1;
    if (const pugi::xml_node duration = xml::ChildElement(pDOMNode, "Duration")) {
      // Integer text, typed or not, by the standard conversion.
      ThrowIfFailed(Variant(xml::Text(duration)).ToInt32(&duration_));
    }

    status_ = pDOMNode.attribute("Status").value();
    error_ = pDOMNode.attribute("Error").value();
    return S_OK;
  });
}

HRESULT CKelCall::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelCall, IKelCall2>(iid);
}

}  // namespace ringwell::kel
