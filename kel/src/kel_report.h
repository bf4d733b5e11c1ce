// CKelReport: a request's report, a snapshot loaded from a report file by
// GetReport: the request's status and type, its additional info (the markup
// of the first node inside AdditionalInfo), and one sub-report per recipient
// in file order. It is never refreshed; a new GetReport gives a new object.
// Only the toolkit creates these objects.
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <string>

#include "collections.h"
#include "ringwell/common/com.h"
#include "ringwell/kel/kel.h"
#include "xmlizer.h"

namespace ringwell::kel {

inline constexpr char kKelReportProgId[] = "Kel.KelReport.1";

class CKelReport final : public ComObject<IKelReport, _IXMLizerInternal, ISupportErrorInfo> {
 public:
  // Creates the empty sub-report collection (throws std::bad_alloc).
  CKelReport();

  // Each getter fails with E_INVALIDARG when its result pointer is null.
  HRESULT get_SubReports(IKelSubReports** a_ppValue) override;
  // Compares the recipient exactly (case and blanks count); a null recipient
  // is the empty one.
  HRESULT FindSubReport(const char* a_bstrRecipient, IKelSubReport** a_ppValue) override;
  HRESULT get_Status(std::string* a_pbstrValue) override;
  // kelCallRequest unless the file's Type is "Page" (exactly).
  HRESULT get_Type(EKelRequestType* a_peRequestType) override;
  HRESULT get_AdditionalInfo(std::string* a_pbstrValue) override;

  HRESULT XMLize(xml::Document*, pugi::xml_node, std::int32_t) override { return E_NOTIMPL; }
  // Loads the report from a Report element: Status (empty when absent),
  // Type ("Call" or "Page"; any other word leaves the type as it is), the
  // additional info, and one sub-report per SubReport element below it. A
  // sub-report that fails to load ends the loading with its failure; the
  // sub-reports loaded before it stay. A node that is not an element fails
  // with E_INVALIDARG.
  HRESULT DeXMLize(pugi::xml_node pDOMNode, std::int32_t a_bWithCollections) override;
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  ComPtr<CKelSubReports> sub_reports_;
  std::string status_;
  EKelRequestType type_ = kelCallRequest;
  std::string additional_info_;
};

}  // namespace ringwell::kel
