// The content of a call-tree node, shared by CKelNode and CKelResponse (a
// response is a node reached by a key): its own message, its responses and
// its extra nodes, created with it and held for its whole life.
//
// CNodeContent holds the three and writes them into a request file;
// CNodeMembers<Base> implements the _IKelNode members of a class over it.
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include "collections.h"
#include "kel_message.h"
#include "ringwell/common/xml.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel {

class CNodeContent {
 public:
  // Creates the message and the empty collections (throws std::bad_alloc).
  CNodeContent();

  HRESULT GetMessage(IKelMessage** pVal) const;
  HRESULT GetResponses(IKelResponses** pVal) const;
  HRESULT GetExtraNodes(IKelNodes** pVal) const;
  // Creates a node, appends it to the extra nodes and returns it.
  HRESULT AddExtraNode(_IKelNode** pVal);

  // Writes into `parent`: the Message element, the Responses element with one
  // Response per response (always for a node, only when there are responses
  // for a response), then each extra node's content, unwrapped. Throws
  // ComError for a failing DOM call or a member that cannot write itself;
  // returns the failure code of a member's own write.
  HRESULT Write(xml::Document* document, pugi::xml_node parent, bool always_responses) const;

 private:
  ComPtr<CKelMessage> message_;
  ComPtr<CKelResponses> responses_;
  ComPtr<CKelNodes> extra_nodes_;
};

// The _IKelNode members of a class deriving from `Base`, backed by a
// CNodeContent.
template <class Base>
class CNodeMembers : public Base {
 public:
  using Base::Base;

  HRESULT get_Message(IKelMessage** pVal) override { return content_.GetMessage(pVal); }
  HRESULT get_Responses(IKelResponses** pVal) override { return content_.GetResponses(pVal); }
  HRESULT get_ExtraNodes(IKelNodes** pVal) override { return content_.GetExtraNodes(pVal); }
  HRESULT AddExtraNode(_IKelNode** pVal) override { return content_.AddExtraNode(pVal); }

 protected:
  CNodeContent content_;
};

}  // namespace ringwell::kel
