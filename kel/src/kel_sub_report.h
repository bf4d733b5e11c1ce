// CKelSubReport: the part of a report about one recipient, a snapshot loaded
// from a SubReport element: the recipient's number and status and the results
// of the calls made to it, in file order. Only the toolkit creates these
// objects (a report, while it loads).
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <string>

#include "collections.h"
#include "ringwell/common/com.h"
#include "ringwell/kel/kel.h"
#include "xmlizer.h"

namespace ringwell::kel {

inline constexpr char kKelSubReportProgId[] = "Kel.KelSubReport.1";

class CKelSubReport final : public ComObject<IKelSubReport, _IXMLizerInternal, ISupportErrorInfo> {
 public:
  // Creates the empty calls collection (throws std::bad_alloc).
  CKelSubReport();

  // Each getter fails with E_INVALIDARG when its result pointer is null.
  HRESULT get_Calls(IKelCalls** a_ppValue) override;
  HRESULT get_Recipient(std::string* a_pbstrValue) override;
  HRESULT get_Status(std::string* a_pbstrValue) override;

  HRESULT XMLize(xml::Document*, pugi::xml_node, std::int32_t) override { return E_NOTIMPL; }
  // Loads the Recipient and Status attributes (empty when absent) and one
  // call per Call element below the element, in document order. A call that
  // fails to load ends the loading with its failure; the calls loaded before
  // it stay. A node that is not an element fails with E_INVALIDARG.
  HRESULT DeXMLize(pugi::xml_node pDOMNode, std::int32_t a_bWithCollections) override;
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  ComPtr<CKelCalls> calls_;
  std::string recipient_;
  std::string status_;
};

}  // namespace ringwell::kel
