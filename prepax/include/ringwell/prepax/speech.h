// The speech component (class Speech, served by the prepax daemon): speaks a
// text into a wav file in the configured audio format (registry value
// AudioFormat), with a voice chosen by gender ("Male"/"Female") or by name,
// and a volume (0-100) and rate (-10..10); values outside those ranges leave
// the engine's own.
//
// Thread-safety: calls are serialised inside the component; the speech engine
// is used by one thread at a time.
#pragma once

#include <cstdint>

#include "ringwell/common/com.h"

namespace ringwell::prepax {

using namespace ringwell::literals;

struct ISpeech : IUnknown {
  static constexpr Guid kIid = "{29CF8FAE-DE7F-4B93-8C70-EA647DBC2679}"_guid;
  using Base = IUnknown;
  // Reads AudioFormat from the registry store. Always succeeds.
  virtual HRESULT Initialize() = 0;
  // Writes the spoken `a_bstrText` to `a_bstrPath` (created or replaced).
  // `a_bstrVoice` may be null (the default voice).
  virtual HRESULT GenerateVoiceFile(const char* a_bstrText, const char* a_bstrPath,
                                    const char* a_bstrVoice, std::int32_t a_nVolume,
                                    std::int32_t a_nRate) = 0;
  // The configured audio format, -1 when none is configured.
  virtual HRESULT get_AudioFormat(std::int32_t* pVal) = 0;
};

inline constexpr Guid kSpeechClsid = "{47318131-6CB7-49AA-B59E-109D2FB40FCB}"_guid;
inline constexpr char kSpeechProgId[] = "Prepax.Speech.1";
inline constexpr char kSpeechVersionIndependentProgId[] = "Prepax.Speech";

}  // namespace ringwell::prepax
