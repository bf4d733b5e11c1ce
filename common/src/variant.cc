#include "ringwell/common/variant.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "ringwell/common/text.h"

namespace ringwell {
namespace {

HRESULT FromDouble(double value, std::int32_t* out) {
  if (!std::isfinite(value)) return E_INVALIDARG;
  const double rounded = std::nearbyint(value);  // default mode: half to even
  if (rounded < std::numeric_limits<std::int32_t>::min() ||
      rounded > std::numeric_limits<std::int32_t>::max()) {
    return E_INVALIDARG;
  }
  *out = static_cast<std::int32_t>(rounded);
  return S_OK;
}

}  // namespace

ComPtr<IUnknown> Variant::Object() const {
  if (const auto* object = std::get_if<ComPtr<IUnknown>>(&value_)) return *object;
  return nullptr;
}

HRESULT Variant::ToInt32(std::int32_t* out) const {
  if (out == nullptr) return E_POINTER;
  if (std::holds_alternative<std::monostate>(value_)) {
    *out = 0;
    return S_OK;
  }
  if (const auto* i = std::get_if<std::int64_t>(&value_)) {
    if (*i < std::numeric_limits<std::int32_t>::min() ||
        *i > std::numeric_limits<std::int32_t>::max()) {
      return E_INVALIDARG;
    }
    *out = static_cast<std::int32_t>(*i);
    return S_OK;
  }
  if (const auto* d = std::get_if<double>(&value_)) return FromDouble(*d, out);
  if (const auto* b = std::get_if<bool>(&value_)) {
    *out = *b ? -1 : 0;
    return S_OK;
  }
  if (const auto* s = std::get_if<std::string>(&value_)) {
    const std::string trimmed(Trim(*s));
    if (trimmed.empty()) return E_INVALIDARG;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(trimmed.c_str(), &end);
    if (end != trimmed.c_str() + trimmed.size() || errno == ERANGE) return E_INVALIDARG;
    return FromDouble(value, out);
  }
  return E_INVALIDARG;
}

}  // namespace ringwell
