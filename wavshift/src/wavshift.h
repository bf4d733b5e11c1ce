// CWavshift, the class behind coclass Wavshift: converts a wav file in place
// into a stream format of the audio format table (see IWavshift).
//
// Thread-safety: an object keeps no state; calls on one object or on several
// may run at once, each on its own files.
#pragma once

#include <cstdint>

#include "ringwell/common/com.h"
#include "ringwell/wavshift/wavshift.h"

namespace ringwell::wavshift {

class CWavshift final : public ComObject<IWavshift, ISupportErrorInfo> {
 public:
  // Leaves the file untouched when it already is in `a_AudioFormat`;
  // otherwise streams the converted audio into a hidden file beside it (with
  // its mode and, where allowed, its owner) and renames that over it. The
  // file is never missing or half written: on failure it keeps its old
  // content and no temporary file stays. Recordings longer than the
  // configured MaxAudioSeconds are refused with E_INVALIDARG.
  HRESULT ConvertFile(const char* a_bstrFileName, std::int32_t a_AudioFormat) override;
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;
};

}  // namespace ringwell::wavshift
