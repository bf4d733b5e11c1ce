#include "speech.h"

#include "prepax_log.h"
#include "ringwell/common/error_report.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"
#include "ringwell/wavshift/audio_format.h"
#include "speech_engine.h"

namespace ringwell::prepax {
namespace {

constexpr char kGenerateVoiceFile[] = "CSpeech::GenerateVoiceFile()";
constexpr std::int32_t kNoFormat = -1;

const ErrorReporter& Reporter() {
  static const ErrorReporter reporter(PrepaxLog(), kSpeechProgId);
  return reporter;
}

}  // namespace

HRESULT CSpeech::Initialize() {
  registry::Key key;
  if (Failed(registry::Key::Open(kConfigKey, &key))) {
    Reporter().LogOnly(prepax_msg::kRegistryError, kRegistryKeyOpenFailed, E_FAIL);
    return S_OK;
  }
  std::uint32_t value = 0;
  if (Succeeded(key.QueryDword(kAudioFormatValue, &value))) {
    audio_format_ = static_cast<std::int32_t>(value);
  }
  return S_OK;
}

HRESULT CSpeech::GenerateVoiceFile(const char* a_bstrText, const char* a_bstrPath,
                                   const char* a_bstrVoice, std::int32_t a_nVolume,
                                   std::int32_t a_nRate) {
  const ErrorReporter& reporter = Reporter();
  return audio::GuardOperation(reporter, kGenerateVoiceFile, [&]() -> HRESULT {
    if (a_bstrText == nullptr) audio::ThrowWithReason(E_INVALIDARG, "No text was given.");
    if (a_bstrPath == nullptr) audio::ThrowWithReason(E_INVALIDARG, "No file path was given.");
    if (Failed(InitializeEngine())) {
      return reporter.OneString(prepax_msg::kNotInitialized, "CSpeech", E_FAIL, LogFlag::kYes);
    }
    const std::int32_t number = audio_format_;
    if (number == kNoFormat) {
      audio::ThrowWithReason(E_INVALIDARG,
                             "No audio format is configured (AudioFormat under "
                             "SOFTWARE\\Corvane\\Ringwell).");
    }
    const audio::AudioFormat& format = audio::FindAudioFormat(number);

    SpeechRequest request{
        .text = a_bstrText,
        .voice = a_bstrVoice != nullptr ? std::optional<std::string>(a_bstrVoice) : std::nullopt,
        .volume = EspeakVolume(a_nVolume),
        .rate = EspeakRate(a_nRate)};
    const SpeechResult speech = Speak(request);
    // A voice that could not be chosen is reported; the default voice speaks.
    for (const std::string& failure : speech.voice_failures) {
      reporter.TwoStrings(prepax_msg::kErrorIn, kGenerateVoiceFile, failure, E_FAIL, LogFlag::kYes);
    }
    audio::ReplaceWavFile(a_bstrPath, speech.audio, format);
    return S_OK;
  });
}

HRESULT CSpeech::get_AudioFormat(std::int32_t* pVal) {
  if (pVal == nullptr) return E_INVALIDARG;
  *pVal = audio_format_;
  return S_OK;
}

HRESULT CSpeech::InterfaceSupportsErrorInfo(const Guid& iid) {
  return iid == ISpeech::kIid ? S_OK : S_FALSE;
}

}  // namespace ringwell::prepax
