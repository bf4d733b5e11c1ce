#include "speech.h"

#include <exception>

#include "prepax_log.h"
#include "ringwell/common/error_report.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/prepax/speech_engine.h"
#include "ringwell/prepax/speech_file.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_limits.h"

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
  const audio::AudioLimits limits = audio::ConfiguredAudioLimits();
  max_text_bytes_ = limits.max_text_bytes;
  max_audio_seconds_ = limits.max_audio_seconds;
  return S_OK;
}

void InterruptSpeaking() { InterruptSpeech(); }

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
    std::vector<std::string> voice_failures;
    std::exception_ptr failure;
    try {
      // Not synced here: the request processor syncs all of a request's files
      // at once before the request is scheduled.
      SpeakToWavFile(
          {.text = a_bstrText,
           .path = a_bstrPath,
           .voice = a_bstrVoice != nullptr ? std::optional<std::string>(a_bstrVoice) : std::nullopt,
           .volume = a_nVolume,
           .rate = a_nRate,
           .format = number},
          {.max_audio_seconds = max_audio_seconds_, .max_text_bytes = max_text_bytes_},
          Durability::kSyncedLater, &voice_failures);
    } catch (...) {
      failure = std::current_exception();
    }
    // A voice that could not be chosen is reported; the default voice speaks.
    for (const std::string& voice_failure : voice_failures) {
      reporter.TwoStrings(prepax_msg::kErrorIn, kGenerateVoiceFile, voice_failure, E_FAIL,
                          LogFlag::kYes);
    }
    if (failure) std::rethrow_exception(failure);
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
