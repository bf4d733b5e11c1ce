// _IXMLizerInternal: how the toolkit's objects write themselves into a request
// file and read themselves back from a report file.
//
// Request-side objects (request, node, message, part, response, recipient)
// implement XMLize: each appends its element (a node: its node content) to
// `pDOMNode`, creating nodes in `pDOMDocument`, and asks its children to do
// the same; their DeXMLize does nothing. Report-side objects implement
// DeXMLize (loading from an element) and answer XMLize with E_NOTIMPL.
// Every caller passes 1 as `a_bWithCollections`; collections are always
// written and read.
//
// Thread-safety: an interface; the objects belong to the client's thread.
#pragma once

#include <cstdint>
#include <pugixml.hpp>

#include "ringwell/common/com.h"
#include "ringwell/common/xml.h"

namespace ringwell::kel {

struct _IXMLizerInternal : IUnknown {
  static constexpr Guid kIid = "{F82E408B-B8E7-4AA4-BAE9-9FACFC9C1448}"_guid;
  using Base = IUnknown;
  // A null document or an empty node fails with E_INVALIDARG, writing nothing.
  virtual HRESULT XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode,
                         std::int32_t a_bWithCollections) = 0;
  virtual HRESULT DeXMLize(pugi::xml_node pDOMNode, std::int32_t a_bWithCollections) = 0;
};

}  // namespace ringwell::kel
