#include "ringwell/wavshift/audio_limits.h"

#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"

namespace ringwell::audio {

AudioLimits ConfiguredAudioLimits() {
  AudioLimits limits;
  registry::Key key;
  if (Failed(registry::Key::Open(kConfigKey, &key))) return limits;
  std::uint32_t value = 0;
  if (Succeeded(key.QueryDword(kMaxAudioSecondsValue, &value)) && value > 0) {
    limits.max_audio_seconds = value;
  }
  if (Succeeded(key.QueryDword(kMaxTextBytesValue, &value)) && value > 0) {
    limits.max_text_bytes = value;
  }
  return limits;
}

}  // namespace ringwell::audio
