// CKelNode: a node of the call tree (the request's root, or an extra node):
// its message, its responses and its extra nodes. A node has no attributes
// and is created only by the toolkit (a request creates its call tree,
// AddExtraNode creates extra nodes). In the request file a node writes its
// content (Message, Responses, then its extra nodes' content) straight into
// the parent element.
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include "node_content.h"
#include "ringwell/common/com.h"
#include "ringwell/kel/kel.h"
#include "xmlizer.h"

namespace ringwell::kel {

class CKelNode final
    : public CNodeMembers<ComObject<_IKelNode, _IXMLizerInternal, ISupportErrorInfo>> {
 public:
  HRESULT XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode,
                 std::int32_t a_bWithCollections) override;
  HRESULT DeXMLize(pugi::xml_node, std::int32_t) override { return S_OK; }
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;
};

}  // namespace ringwell::kel
