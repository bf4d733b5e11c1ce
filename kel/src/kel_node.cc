#include "kel_node.h"

#include "kel_log.h"
#include "kel_object.h"

namespace ringwell::kel {

HRESULT CKelNode::XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode, std::int32_t) {
  if (pDOMDocument == nullptr || !pDOMNode) return E_INVALIDARG;
  return KelReporter(kKelNodeProgId).Guard("CKelNode::XMLize", [&] {
    return content_.Write(pDOMDocument, pDOMNode, /*always_responses=*/true);
  });
}

HRESULT CKelNode::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<_IKelNode>(iid);
}

}  // namespace ringwell::kel
