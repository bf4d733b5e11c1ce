#include "attributes_holder.h"

#include "kel_log.h"

namespace ringwell::kel {

HRESULT CAttributesHolder::GetAttribute(const char* a_bstrName, std::string* a_pbstrValue) {
  if (a_bstrName == nullptr || a_pbstrValue == nullptr) return E_INVALIDARG;
  auto it = attributes_.find(std::string_view(a_bstrName));
  if (it == attributes_.end()) {
    a_pbstrValue->clear();
  } else {
    *a_pbstrValue = it->second;
  }
  return S_OK;
}

HRESULT CAttributesHolder::SetAttribute(const char* a_bstrName, const char* a_bstrValue) {
  if (a_bstrName == nullptr || a_bstrValue == nullptr) return E_INVALIDARG;
  RemoveAttribute(a_bstrName);
  attributes_.emplace(a_bstrName, a_bstrValue);
  return S_OK;
}

HRESULT CAttributesHolder::RemoveAttribute(const char* a_bstrName) {
  if (a_bstrName == nullptr) return E_INVALIDARG;
  auto it = attributes_.find(std::string_view(a_bstrName));
  if (it != attributes_.end()) attributes_.erase(it);
  return S_OK;
}

HRESULT CAttributesHolder::XMLize(xml::Document* document, pugi::xml_node element) {
  if (document == nullptr || !element) return E_INVALIDARG;
  return KelReporter(progid_).Guard("CAttributesHolder::XMLize", [&] {
    for (const auto& [name, value] : attributes_) xml::SetAttribute(element, name, value);
    return S_OK;
  });
}

}  // namespace ringwell::kel
