// CKelCall: the result of one call to a recipient, a snapshot loaded from a
// Call element of a report file: its time, answer, protocol and duration
// (child elements) and its status and error (attributes), and through
// IKelCall2 who answered (AnsweredBy). Child elements it does not know are
// passed over, so lines may add their own. Only the toolkit
// creates these objects (a sub-report, while it loads).
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <cstdint>
#include <string>

#include "ringwell/common/com.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/kel/kel.h"
#include "xmlizer.h"

namespace ringwell::kel {

inline constexpr char kKelCallProgId[] = "Kel.KelCall.1";

class CKelCall final : public ComObject<IKelCall2, _IXMLizerInternal, ISupportErrorInfo> {
 public:
  // Each getter fails with E_INVALIDARG when its result pointer is null.
  HRESULT get_Time(OleDate* a_pValue) override;
  HRESULT get_Answer(std::string* a_pbstrValue) override;
  HRESULT get_Protocol(std::string* a_pbstrValue) override;
  // -1 when the call result has no Duration.
  HRESULT get_Duration(std::int32_t* a_pnValue) override;
  HRESULT get_Status(std::string* a_pbstrValue) override;
  HRESULT get_Error(std::string* a_pbstrValue) override;
  HRESULT get_AnsweredBy(std::string* a_pbstrValue) override;

  HRESULT XMLize(xml::Document*, pugi::xml_node, std::int32_t) override { return E_NOTIMPL; }
  // Loads the call from a Call element. Time is required and must be a date;
  // Duration, when present, must convert to a 32-bit integer; the rest is
  // empty when absent. A node that is not an element fails with E_INVALIDARG;
  // content that cannot be used is a caught failure of "CKelCall::DeXMLize".
  HRESULT DeXMLize(pugi::xml_node pDOMNode, std::int32_t a_bWithCollections) override;
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  OleDate time_ = 0.0;
  std::string answer_;
  std::string protocol_;
  std::int32_t duration_ = -1;
  std::string status_;
  std::string error_;
  std::string answered_by_;
};

}  // namespace ringwell::kel
