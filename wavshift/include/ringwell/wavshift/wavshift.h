// Wavshift, the audio converter: rewrites one wav file in place so that its
// audio is in a given stream format (a number 4-68 of the audio format table,
// the same number the speech component writes). A file already in that exact
// format is left untouched.
//
// Thread-safety: every call works on its own files; objects share nothing.
#pragma once

#include <cstdint>

#include "ringwell/common/com.h"

namespace ringwell::wavshift {

using namespace ringwell::literals;

struct IWavshift : IUnknown {
  static constexpr Guid kIid = "{D598A739-7BBC-498A-8C91-4E32F8856AA1}"_guid;
  using Base = IUnknown;
  virtual HRESULT ConvertFile(const char* a_bstrFileName, std::int32_t a_AudioFormat) = 0;
};

inline constexpr Guid kWavshiftClsid = "{AE91A908-F965-4546-9EBB-D597A7F22620}"_guid;
inline constexpr Guid kWavshiftLibId = "{09068C32-9720-47FC-B88E-2FD7E4598325}"_guid;
inline constexpr char kWavshiftProgId[] = "Wavshift.Wavshift.1";
inline constexpr char kWavshiftVersionIndependentProgId[] = "Wavshift.Wavshift";

}  // namespace ringwell::wavshift
