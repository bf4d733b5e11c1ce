#include "kel_object.h"

namespace ringwell::kel {

HRESULT XMLizeChild(IUnknown* child, xml::Document* document, pugi::xml_node parent,
                    bool required) {
  ComPtr<_IXMLizerInternal> writer;
  if (child == nullptr ||
      Failed(child->QueryInterface(_IXMLizerInternal::kIid, writer.PutVoid()))) {
    if (required) throw ComError(E_NOINTERFACE);
    return S_FALSE;
  }
  return writer->XMLize(document, parent, 1);
}

}  // namespace ringwell::kel
