// CKelMessage: what a node plays, an ordered list of message parts, with the
// number of replays and the time to wait for a key, and attributes of its
// own. Every node and response creates its own message. In the request file
// it is a Message element with Replays and Timeout attributes and one
// MessagePart child per part.
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <cstdint>

#include "attributes_holder.h"
#include "collections.h"
#include "ringwell/kel/kel.h"
#include "xmlizer.h"

namespace ringwell::kel {

class CKelMessage final : public CAttributed<IKelMessage, _IXMLizerInternal, ISupportErrorInfo> {
 public:
  // Creates the empty parts collection (throws std::bad_alloc).
  CKelMessage();

  HRESULT get_Parts(IKelMessageParts** pVal) override;
  HRESULT get_Replays(std::int32_t* pVal) override;
  // Accepts 0 or more.
  HRESULT put_Replays(std::int32_t newVal) override;
  HRESULT get_Timeout(std::int32_t* pVal) override;
  // Accepts 0 or more.
  HRESULT put_Timeout(std::int32_t newVal) override;

  HRESULT XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode,
                 std::int32_t a_bWithCollections) override;
  HRESULT DeXMLize(pugi::xml_node, std::int32_t) override { return S_OK; }
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  ComPtr<CKelMessageParts> parts_;
  std::int32_t replays_ = 0;
  std::int32_t timeout_ = 2;
};

}  // namespace ringwell::kel
