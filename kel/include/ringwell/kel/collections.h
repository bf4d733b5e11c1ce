// The collection interfaces of the toolkit's object model. A collection is an
// ordered list of references to member objects; `get_Item` is zero-based and
// takes its index as a Variant (integer, floating, numeric string; empty is 0).
//
//   _Collection       Count, _NewEnum, Refresh       read half, every collection
//   _DynaCollection   + Append, Delete               request side (dynamic)
//
// _NewEnum hands out an IEnumVARIANT whose elements are Variants holding the
// members.
//
// Thread-safety: collections belong to the client's thread; no locks.
#pragma once

#include <cstdint>

#include "ringwell/common/com.h"
#include "ringwell/common/variant.h"

namespace ringwell::kel {

using namespace ringwell::literals;

struct IEnumVARIANT : IUnknown {
  static constexpr Guid kIid = "{00020404-0000-0000-C000-000000000046}"_guid;
  using Base = IUnknown;
  // Copies up to `celt` elements into `rgVar`; `pCeltFetched` (required when
  // celt is not 1) receives the number copied. S_FALSE when fewer than `celt`.
  virtual HRESULT Next(std::uint32_t celt, Variant* rgVar, std::uint32_t* pCeltFetched) = 0;
  virtual HRESULT Skip(std::uint32_t celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumVARIANT** ppEnum) = 0;
};

struct _Collection : IUnknown {
  static constexpr Guid kIid = "{00000512-0000-0010-8000-00AA006D2EA4}"_guid;
  using Base = IUnknown;
  virtual HRESULT get_Count(std::int32_t* c) = 0;
  virtual HRESULT _NewEnum(IUnknown** ppvObject) = 0;
  // Not implemented by any collection: E_NOTIMPL.
  virtual HRESULT Refresh() = 0;
};

struct _DynaCollection : _Collection {
  static constexpr Guid kIid = "{00000513-0000-0010-8000-00AA006D2EA4}"_guid;
  using Base = _Collection;
  // Adds `Object` at the end; it must offer the collection's member interface.
  virtual HRESULT Append(IUnknown* Object) = 0;
  virtual HRESULT Delete(const Variant& Index) = 0;
};

}  // namespace ringwell::kel
