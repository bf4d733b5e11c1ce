// CKelResponse: a node reached when the called person presses the response's
// button, with attributes of its own. Responses nest to any depth. In the
// request file it is a Response element with a Button attribute holding its
// Message, its nested Responses (only when it has some) and its extra nodes'
// content.
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <string>

#include "attributes_holder.h"
#include "node_content.h"
#include "ringwell/kel/kel.h"
#include "xmlizer.h"

namespace ringwell::kel {

class CKelResponse final
    : public CNodeMembers<CAttributed<IKelResponse, _IXMLizerInternal, ISupportErrorInfo>> {
 public:
  CKelResponse() : CNodeMembers(kKelResponseProgId) {}

  HRESULT get_Button(std::string* pVal) override;
  // Not validated; a null string is stored as empty.
  HRESULT put_Button(const char* newVal) override;

  HRESULT XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode,
                 std::int32_t a_bWithCollections) override;
  HRESULT DeXMLize(pugi::xml_node, std::int32_t) override { return S_OK; }
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  std::string button_;
};

}  // namespace ringwell::kel
