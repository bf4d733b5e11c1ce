#include "kel_report.h"

#include "kel_object.h"
#include "kel_sub_report.h"

namespace ringwell::kel {

CKelReport::CKelReport() : sub_reports_(MakeComObject<CKelSubReports>()) {}

HRESULT CKelReport::get_SubReports(IKelSubReports** a_ppValue) {
  return GetObject(sub_reports_, a_ppValue);
}

HRESULT CKelReport::FindSubReport(const char* a_bstrRecipient, IKelSubReport** a_ppValue) {
  if (a_ppValue == nullptr) return E_INVALIDARG;
  *a_ppValue = nullptr;
  return KelReporter(kKelReportProgId).Guard("CKelReport::FindSubReport", [&] {
    const std::string wanted = FromNullable(a_bstrRecipient);
    for (const ComPtr<IKelSubReport>& sub_report : sub_reports_->items()) {
      std::string recipient;
      ThrowIfFailed(sub_report->get_Recipient(&recipient));
      if (recipient == wanted) return sub_report.CopyTo(a_ppValue);
    }
    return S_FALSE;
  });
}

HRESULT CKelReport::get_Status(std::string* a_pbstrValue) {
  return GetValue(status_, a_pbstrValue);
}

HRESULT CKelReport::get_Type(EKelRequestType* a_peRequestType) {
  return GetValue(type_, a_peRequestType);
}

HRESULT CKelReport::get_AdditionalInfo(std::string* a_pbstrValue) {
  return GetValue(additional_info_, a_pbstrValue);
}

HRESULT CKelReport::DeXMLize(pugi::xml_node pDOMNode, std::int32_t) {
  if (pDOMNode.type() != pugi::node_element) return E_INVALIDARG;
  return KelReporter(kKelReportProgId).Guard("CKelReport::DeXMLize", [&] {
    status_ = pDOMNode.attribute("Status").value();
    const std::string_view type = pDOMNode.attribute("Type").value();
    if (type == "Call") type_ = kelCallRequest;
    if (type == "Page") type_ = kelPageRequest;

    additional_info_.clear();
    if (const pugi::xml_node info = xml::ChildElement(pDOMNode, "AdditionalInfo")) {
      // Text comes back escaped, an element with all its markup.
      additional_info_ = xml::Markup(info.first_child());
    }

    sub_reports_->Clear();
    for (const pugi::xml_node element : xml::ElementsByName(pDOMNode, "SubReport")) {
      auto sub_report = MakeComObject<CKelSubReport>();
      const HRESULT hr = sub_report->DeXMLize(element, 1);
      if (Failed(hr)) return hr;
      sub_reports_->Add(std::move(sub_report));
    }
    return S_OK;
  });
}

HRESULT CKelReport::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelReport>(iid);
}

}  // namespace ringwell::kel
