#include "node_content.h"

#include "kel_node.h"
#include "kel_object.h"

namespace ringwell::kel {

CNodeContent::CNodeContent()
    : message_(MakeComObject<CKelMessage>()),
      responses_(MakeComObject<CKelResponses>()),
      extra_nodes_(MakeComObject<CKelNodes>()) {}

HRESULT CNodeContent::GetMessage(IKelMessage** pVal) const { return GetObject(message_, pVal); }

HRESULT CNodeContent::GetResponses(IKelResponses** pVal) const {
  return GetObject(responses_, pVal);
}

HRESULT CNodeContent::GetExtraNodes(IKelNodes** pVal) const {
  return GetObject(extra_nodes_, pVal);
}

HRESULT CNodeContent::AddExtraNode(_IKelNode** pVal) {
  if (pVal == nullptr) return E_INVALIDARG;
  *pVal = nullptr;
  try {
    ComPtr<_IKelNode> node(MakeComObject<CKelNode>());
    extra_nodes_->Add(node);
    return node.CopyTo(pVal);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CNodeContent::Write(xml::Document* document, pugi::xml_node parent,
                            bool always_responses) const {
  HRESULT hr = message_->XMLize(document, parent, 1);
  if (Failed(hr)) return hr;
  if (always_responses || !responses_->items().empty()) {
    pugi::xml_node responses = xml::AppendElement(parent, "Responses");
    for (const auto& response : responses_->items()) {
      hr = XMLizeChild(response.Get(), document, responses);
      if (Failed(hr)) return hr;
    }
  }
  for (const auto& node : extra_nodes_->items()) {
    hr = XMLizeChild(node.Get(), document, parent, /*required=*/false);
    if (Failed(hr)) return hr;
  }
  return S_OK;
}

}  // namespace ringwell::kel
