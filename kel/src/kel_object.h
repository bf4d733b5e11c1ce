// Small pieces shared by the toolkit's request-side classes: property getters
// that refuse a missing result pointer, range-checked numeric setters, the
// answer to ISupportErrorInfo, and the call that asks a child object to write
// itself into a request file.
//
// Thread-safety: none of its own; the objects belong to the client's thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kel_log.h"
#include "ringwell/common/com.h"
#include "ringwell/common/xml.h"
#include "xmlizer.h"

namespace ringwell::kel {

// Copies `value` to `out`; a missing result pointer fails with E_INVALIDARG.
template <class T>
HRESULT GetValue(const T& value, T* out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = value;
  return S_OK;
}

// Hands out a new reference to an object the caller holds; a missing result
// pointer fails with E_INVALIDARG.
template <class I, class C>
HRESULT GetObject(const ComPtr<C>& object, I** out) {
  if (out == nullptr) return E_INVALIDARG;
  return ComPtr<I>(object.Get()).CopyTo(out);
}

// Stores `value` in `field` when `accepted`; otherwise leaves it and fails
// with the invalid-property message of class `progid`.
inline HRESULT PutChecked(std::string_view progid, std::string_view property, std::int32_t value,
                          bool accepted, std::int32_t* field) {
  if (!accepted) return InvalidPropertyValue(progid, property, value);
  *field = value;
  return S_OK;
}

// A null string input stands for the empty string.
inline std::string FromNullable(const char* text) { return text != nullptr ? text : ""; }

// The answer of ISupportErrorInfo for a class whose main interfaces are
// `Main...`.
template <class... Main>
HRESULT SupportsErrorInfoFor(const Guid& iid) {
  return ((iid == Main::kIid) || ...) ? S_OK : S_FALSE;
}

// Asks `child` to write itself under `parent` and returns its status code.
// A child that cannot write itself (not an object of this toolkit) throws
// ComError(E_NOINTERFACE) when it is `required`, and is skipped (S_FALSE)
// otherwise.
HRESULT XMLizeChild(IUnknown* child, xml::Document* document, pugi::xml_node parent,
                    bool required = true);

}  // namespace ringwell::kel
