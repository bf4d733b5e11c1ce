// A text spoken into a wav file in a stream format: what the speech component
// of the preprocessing daemon writes for every text part, and what kel's
// `say` and `preview` write, so a rehearsal sounds exactly like the call. The
// engine is the process's espeak-ng (speech_engine.h); the encoder the audio
// library's (ringwell/wavshift/audio_stream.h).
//
// Thread-safety: may be called from any thread; speaking is serialised by
// the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ringwell/common/files.h"
#include "ringwell/wavshift/audio_limits.h"

namespace ringwell::prepax {

// The volume a text part is spoken at when its request names none.
inline constexpr std::int32_t kDefaultPartVolume = 90;
// A rate outside -10..10: the engine's own rate (a part that names none).
inline constexpr std::int32_t kDefaultPartRate = -1000;

struct VoiceFileRequest {
  std::string text;                      // UTF-8
  std::string path;                      // the wav file, created or replaced whole
  std::optional<std::string> voice;      // nullopt: the default voice
  std::int32_t volume = -1;              // 0-100; another value: the engine's own
  std::int32_t rate = kDefaultPartRate;  // -10..10; another value: the engine's own
  std::int32_t format = -1;              // the stream format number (audio_format.h)
};

// Speaks the request's text into its file in its format: the audio is encoded
// block by block into a file beside the path and renamed over it. Throws
// ComError with the reason (audio_error.h): E_INVALIDARG for an unknown format,
// a text longer than limits.max_text_bytes or one that speaks for longer than
// limits.max_audio_seconds; the engine's failures (speech_engine.h) and the
// system errors of writing. Voice choices that failed without stopping the
// speech (the default voice spoke) are added to `voice_failures` even when the
// call throws afterwards.
void SpeakToWavFile(const VoiceFileRequest& request, const audio::AudioLimits& limits,
                    Durability durability, std::vector<std::string>* voice_failures);

// The stream format number of AudioFormat under SOFTWARE\Corvane\Ringwell, or
// nullopt when the key or the value is missing.
std::optional<std::int32_t> ConfiguredAudioFormat();

}  // namespace ringwell::prepax
