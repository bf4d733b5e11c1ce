#include "speech.h"

#include <cstring>
#include <exception>

#include "prepax_log.h"
#include "ringwell/common/error_report.h"
#include "ringwell/common/message_tables.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"
#include "ringwell/wavshift/audio_format.h"
#include "ringwell/wavshift/audio_limits.h"
#include "ringwell/wavshift/audio_stream.h"
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
    const audio::AudioFormat& format = audio::FindAudioFormat(number);

    const std::size_t text_bytes = std::strlen(a_bstrText);
    if (text_bytes > max_text_bytes_) {
      audio::ThrowWithReason(E_INVALIDARG, "The text has " + std::to_string(text_bytes) +
                                               " bytes, more than the limit of " +
                                               std::to_string(max_text_bytes_) +
                                               " (MaxTextBytes).");
    }

    const SpeechRequest request{
        .text = a_bstrText,
        .voice = a_bstrVoice != nullptr ? std::optional<std::string>(a_bstrVoice) : std::nullopt,
        .volume = EspeakVolume(a_nVolume),
        .rate = EspeakRate(a_nRate)};
    const std::uint32_t rate = EngineSampleRate();
    const std::uint32_t max_seconds = max_audio_seconds_;
    const std::uint64_t max_frames = std::uint64_t{max_seconds} * rate;
    // The audio goes straight through the encoder into a file beside the
    // path, block by block.
    audio::StagedWavFile file(a_bstrPath, rate, 1, format);
    bool too_long = false;
    std::exception_ptr failure;  // nothing may unwind through espeak-ng
    const SpeechResult speech = Speak(request, [&](const std::int16_t* samples, std::size_t count) {
      if (file.encoder().frames_in() + count > max_frames) {
        too_long = true;
        return false;
      }
      try {
        file.encoder().Write(samples, count);
        return true;
      } catch (...) {
        failure = std::current_exception();
        return false;
      }
    });
    // A voice that could not be chosen is reported; the default voice speaks.
    for (const std::string& voice_failure : speech.voice_failures) {
      reporter.TwoStrings(prepax_msg::kErrorIn, kGenerateVoiceFile, voice_failure, E_FAIL,
                          LogFlag::kYes);
    }
    if (failure) std::rethrow_exception(failure);
    if (too_long) {
      audio::ThrowWithReason(E_INVALIDARG, "The text speaks for more than " +
                                               std::to_string(max_seconds) +
                                               " seconds, the limit (MaxAudioSeconds).");
    }
    // Not synced here: the request processor syncs all of a request's files
    // at once before the request is scheduled.
    file.Finish(nullptr, Durability::kSyncedLater);
    file.Rename();
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
