// A small component library used by the class-creation tests.
//
// Thread-safety: its objects belong to the thread that created them.
#pragma once

#include "ringwell/common/com.h"

namespace ringwell::test {

struct ICounter : IUnknown {
  static constexpr Guid kIid = "{3C1D6E0A-5B7F-4E2A-9A51-0D1E2F3A4B5C}"_guid;
  using Base = IUnknown;
  virtual HRESULT Increment(std::int32_t* value) = 0;
};

inline constexpr Guid kCounterClsid = "{9E8D7C6B-5A49-4838-A726-15F4E3D2C1B0}"_guid;
inline constexpr char kCounterProgId[] = "RingwellTest.Counter.1";
inline constexpr char kCounterVersionIndependentProgId[] = "RingwellTest.Counter";

// Classes whose factories break the rules: one fails but writes a bogus
// pointer to its out-parameter, one succeeds without giving an object.
inline constexpr Guid kFailingFactoryClsid = "{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}"_guid;
inline constexpr Guid kEmptyFactoryClsid = "{7A2B3C4D-5E6F-4071-8283-A4B5C6D7E8F9}"_guid;

}  // namespace ringwell::test
