// CKelMessagePart: one piece of a message, either a text to be spoken or the
// bare name of a wav file in the file store, with attributes of its own (the
// preprocessing daemon reads Voice, Volume and Rate). In the request file it
// is a MessagePart element (typed string) with Type "Text" or "File".
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <string>

#include "attributes_holder.h"
#include "ringwell/kel/kel.h"
#include "xmlizer.h"

namespace ringwell::kel {

// The characters a file part's name cannot hold, in the order the message
// names them.
inline constexpr char kForbiddenFileNameCharacters[] = ":\\/?*|<>\"";

class CKelMessagePart final
    : public CAttributed<IKelMessagePart, _IXMLizerInternal, ISupportErrorInfo> {
 public:
  CKelMessagePart() : CAttributed(kKelMessagePartProgId) {}

  HRESULT get_Type(EKelMessagePartType* pVal) override;
  HRESULT get_Content(std::string* pVal) override;
  // Sets content and type together. A file name holding one of the forbidden
  // characters, or naming no file ("", ".", ".."), and a type that is neither
  // text nor file name fail and change nothing. A null content is empty.
  HRESULT SetContent(const char* a_bstrContent, EKelMessagePartType a_eType) override;

  HRESULT XMLize(xml::Document* pDOMDocument, pugi::xml_node pDOMNode,
                 std::int32_t a_bWithCollections) override;
  HRESULT DeXMLize(pugi::xml_node, std::int32_t) override { return S_OK; }
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  EKelMessagePartType type_ = kelTextMessagePart;
  std::string content_;
};

}  // namespace ringwell::kel
