#include "ringwell/wavshift/audio_error.h"

namespace ringwell::audio {

void ThrowWithReason(HRESULT hr, std::string reason) {
  throw ComError(hr, ErrorInfo{.source = {}, .description = std::move(reason), .iid = kGuidNull});
}

}  // namespace ringwell::audio
