// CSpeech, the class behind coclass Speech (served by the prepax daemon):
// speaks a text into a wav file in the configured audio format with the
// process's espeak-ng engine (speech_engine.h). Failures are reported to the
// daemon's event log and to the caller with the error source
// "Prepax.Speech.1".
//
// Thread-safety: the audio format is read and written atomically; speaking
// is serialised by the engine, so calls may come from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "ringwell/common/com.h"
#include "ringwell/prepax/speech.h"
#include "ringwell/wavshift/audio_limits.h"

namespace ringwell::prepax {

class CSpeech final : public ComObject<ISpeech, ISupportErrorInfo> {
 public:
  // Reads AudioFormat under SOFTWARE\Corvane\Ringwell; a key that does not
  // open is logged ("Registry Error: %1"), a missing value leaves the format
  // as it was. Always succeeds.
  HRESULT Initialize() override;
  // Null text or path: E_INVALIDARG. The format is checked before the file is
  // touched; the file is written beside its place as the speech is made and
  // renamed over it, so it is replaced whole or not at all; its data is not
  // flushed to disk (the request processor syncs a request's files together
  // before the request is scheduled). A text longer
  // than MaxTextBytes, or one that speaks for longer than MaxAudioSeconds,
  // fails with E_INVALIDARG; speech stopped by InterruptSpeaking (or cut
  // short by CutSpeechShort) fails with E_ABORT.
  HRESULT GenerateVoiceFile(const char* a_bstrText, const char* a_bstrPath, const char* a_bstrVoice,
                            std::int32_t a_nVolume, std::int32_t a_nRate) override;
  // The format (and the limits of audio_limits.h) Initialize read, -1 when
  // none. A null pointer: E_INVALIDARG.
  HRESULT get_AudioFormat(std::int32_t* pVal) override;
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  std::atomic<std::int32_t> audio_format_{-1};
  std::atomic<std::uint32_t> max_text_bytes_{audio::AudioLimits{}.max_text_bytes};
  std::atomic<std::uint32_t> max_audio_seconds_{audio::AudioLimits{}.max_audio_seconds};
};

// Stops the speech under way in this process, if any, and makes every later
// GenerateVoiceFile fail with E_ABORT: the daemon's stop, so that a long text
// does not hold it up. Only sets a flag; may be called from any thread.
void InterruptSpeaking();

}  // namespace ringwell::prepax
