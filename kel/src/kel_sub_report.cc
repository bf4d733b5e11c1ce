#include "kel_sub_report.h"

#include "kel_call.h"
#include "kel_object.h"

namespace ringwell::kel {

CKelSubReport::CKelSubReport() : calls_(MakeComObject<CKelCalls>()) {}

HRESULT CKelSubReport::get_Calls(IKelCalls** a_ppValue) { return GetObject(calls_, a_ppValue); }

HRESULT CKelSubReport::get_Recipient(std::string* a_pbstrValue) {
  return GetValue(recipient_, a_pbstrValue);
}

HRESULT CKelSubReport::get_Status(std::string* a_pbstrValue) {
  return GetValue(status_, a_pbstrValue);
}

HRESULT CKelSubReport::DeXMLize(pugi::xml_node pDOMNode, std::int32_t) {
  if (pDOMNode.type() != pugi::node_element) return E_INVALIDARG;
  return KelReporter(kKelSubReportProgId).Guard("CKelSubReport::DeXMLize", [&] {
    recipient_ = pDOMNode.attribute("Recipient").value();
    status_ = pDOMNode.attribute("Status").value();
    calls_->Clear();
    for (const pugi::xml_node element : xml::ElementsByName(pDOMNode, "Call")) {
      auto call = MakeComObject<CKelCall>();
      const HRESULT hr = call->DeXMLize(element, 1);
      if (Failed(hr)) return hr;
      calls_->Add(std::move(call));
    }
    return S_OK;
  });
}

HRESULT CKelSubReport::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelSubReport>(iid);
}

}  // namespace ringwell::kel
