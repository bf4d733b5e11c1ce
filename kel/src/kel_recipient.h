// CKelRecipient: one telephone or pager number of a request, with attributes
// of its own. In the request file it is a Recipient element (typed string)
// whose Type attribute the request writer sets on the object first.
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <string>

#include "attributes_holder.h"
#include "ringwell/kel/kel.h"
#include "xmlizer.h"

namespace ringwell::kel {

class CKelRecipient final
    : public CAttributed<IKelRecipient, _IXMLizerInternal, ISupportErrorInfo> {
 public:
  CKelRecipient() : CAttributed(kKelRecipientProgId) {}

  HRESULT get_Recipient(std::string* pVal) override;
  // A null string is stored as empty.
  HRESULT put_Recipient(const char* newVal) override;

  HRESULT XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode,
                 std::int32_t a_bWithCollections) override;
  HRESULT DeXMLize(pugi::xml_node, std::int32_t) override { return S_OK; }
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  std::string recipient_;
};

}  // namespace ringwell::kel
