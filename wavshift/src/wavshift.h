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
  // otherwise converts it through a temporary "wav" file in the temporary
  // directory and replaces it. The file is never missing or half written:
  // on failure it keeps its old content.
  HRESULT ConvertFile(const char* a_bstrFileName, std::int32_t a_AudioFormat) override;
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;
};

}  // namespace ringwell::wavshift
