// Bounds on the audio the system makes, so that a small input cannot take
// unbounded memory, disk or time. Configured under SOFTWARE\Corvane\Ringwell:
//
//   MaxAudioSeconds  the longest audio one text part may speak or one
//                    recording may hold (default 1800: 30 minutes)
//   MaxTextBytes     the largest text part that is spoken (default 65536)
//
// A missing value, a value of 0 or a store that cannot be read gives the
// default.
//
// Thread-safety: may be called from any thread.
#pragma once

#include <cstdint>

namespace ringwell::audio {

inline constexpr char kMaxAudioSecondsValue[] = "MaxAudioSeconds";
inline constexpr char kMaxTextBytesValue[] = "MaxTextBytes";

struct AudioLimits {
  std::uint32_t max_audio_seconds = 1800;
  std::uint32_t max_text_bytes = 64 * 1024;
};

// The limits as configured now (read from the registry store on each call).
AudioLimits ConfiguredAudioLimits();

}  // namespace ringwell::audio
