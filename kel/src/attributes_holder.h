// CAttributesHolder: the named string attributes of a request-side object
// (request, message, message part, response, recipient), written as XML
// attributes onto the object's element in the request file.
//
// Names compare ignoring the case of A-Z; a name is stored in the letter case
// of the latest SetAttribute, at most once, and attributes are written in
// ascending name order under that comparison (not in insertion order).
//
// CAttributed<Interfaces...> is the base of those classes: it implements the
// interfaces' GetAttribute/SetAttribute by forwarding to the holder.
//
// Thread-safety: belongs to the client's thread; nothing is locked.
#pragma once

#include <map>
#include <string>

#include "ringwell/common/com.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"

namespace ringwell::kel {

class CAttributesHolder {
 public:
  // `progid` names the owning class as the source of reported failures (a
  // string that lives for the whole process).
  explicit CAttributesHolder(std::string_view progid) : progid_(progid) {}
  virtual ~CAttributesHolder() = default;

  // The value of the attribute, or an empty string (S_OK) when there is none.
  // A null name or result fails with E_INVALIDARG.
  virtual HRESULT GetAttribute(const char* a_bstrName, std::string* a_pbstrValue);
  // Stores the value under the name (replacing any entry of that name and its
  // letter case). A null name or value fails with E_INVALIDARG.
  virtual HRESULT SetAttribute(const char* a_bstrName, const char* a_bstrValue);
  virtual HRESULT RemoveAttribute(const char* a_bstrName);
  // Writes every attribute onto `element` in name order. A missing document or
  // element fails with E_INVALIDARG; a failing DOM call is a caught failure of
  // "CAttributesHolder::XMLize".
  virtual HRESULT XMLize(xml::Document* document, pugi::xml_node element);

 private:
  std::string_view progid_;
  std::map<std::string, std::string, LessIgnoringCase> attributes_;
};

template <class... Interfaces>
class CAttributed : public ComObject<Interfaces...>, public CAttributesHolder {
 public:
  explicit CAttributed(std::string_view progid) : CAttributesHolder(progid) {}
  HRESULT GetAttribute(const char* a_bstrName, std::string* a_pbstrValue) override {
    if (a_pbstrValue == nullptr) return E_INVALIDARG;
    return CAttributesHolder::GetAttribute(a_bstrName, a_pbstrValue);
  }
  HRESULT SetAttribute(const char* a_bstrName, const char* a_bstrValue) override {
    return CAttributesHolder::SetAttribute(a_bstrName, a_bstrValue);
  }
};

}  // namespace ringwell::kel
