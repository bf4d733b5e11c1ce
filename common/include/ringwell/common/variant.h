// Variant: the small tagged value that collection indexes and enumerators pass
// around (empty, integer, floating, boolean, string or object), with the
// conversion to a 32-bit integer that collection indexes use.
//
// Thread-safety: a value.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "ringwell/common/com.h"

namespace ringwell {

class Variant {
 public:
  Variant() = default;
  Variant(std::int32_t v) : value_(static_cast<std::int64_t>(v)) {}  // NOLINT
  Variant(std::int64_t v) : value_(v) {}                             // NOLINT
  Variant(double v) : value_(v) {}                                   // NOLINT
  Variant(bool v) : value_(v) {}                                     // NOLINT
  Variant(const char* v) : value_(std::string(v)) {}                 // NOLINT
  Variant(std::string v) : value_(std::move(v)) {}                   // NOLINT
  Variant(ComPtr<IUnknown> v) : value_(std::move(v)) {}              // NOLINT

  bool IsEmpty() const { return std::holds_alternative<std::monostate>(value_); }
  // The object a variant of object type holds (null otherwise).
  ComPtr<IUnknown> Object() const;

  // The standard conversion to a 32-bit signed integer: empty gives 0, a
  // floating value is rounded half to even, a string must hold a number; a
  // value out of range, a non-numeric string or an object fails with
  // E_INVALIDARG.
  HRESULT ToInt32(std::int32_t* out) const;

 private:
  std::variant<std::monostate, std::int64_t, double, bool, std::string, ComPtr<IUnknown>> value_;
};

}  // namespace ringwell
