#include "ringwell/prepax/speech_file.h"

#include <exception>

#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/prepax/speech_engine.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_format.h"
#include "ringwell/wavshift/audio_stream.h"

namespace ringwell::prepax {

void SpeakToWavFile(const VoiceFileRequest& request, const audio::AudioLimits& limits,
                    Durability durability, std::vector<std::string>* voice_failures) {
  const audio::AudioFormat& format = audio::FindAudioFormat(request.format);
  if (request.text.size() > limits.max_text_bytes) {
    audio::ThrowWithReason(E_INVALIDARG, "The text has " + std::to_string(request.text.size()) +
                                             " bytes, more than the limit of " +
                                             std::to_string(limits.max_text_bytes) +
                                             " (MaxTextBytes).");
  }
  const SpeechRequest speech_request{.text = request.text,
                                     .voice = request.voice,
                                     .volume = EspeakVolume(request.volume),
                                     .rate = EspeakRate(request.rate)};
  if (Failed(InitializeEngine())) {
    audio::ThrowWithReason(E_FAIL, "The espeak-ng engine cannot be initialised.");
  }
  const std::uint32_t rate = EngineSampleRate();
  const std::uint64_t max_frames = std::uint64_t{limits.max_audio_seconds} * rate;
  audio::StagedWavFile file(request.path, rate, 1, format);
  bool too_long = false;
  std::exception_ptr failure;  // nothing may unwind through espeak-ng
  const SpeechResult speech =
      Speak(speech_request, [&](const std::int16_t* samples, std::size_t count) {
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
  if (voice_failures != nullptr) {
    voice_failures->insert(voice_failures->end(), speech.voice_failures.begin(),
                           speech.voice_failures.end());
  }
  if (failure) std::rethrow_exception(failure);
  if (too_long) {
    audio::ThrowWithReason(E_INVALIDARG, "The text speaks for more than " +
                                             std::to_string(limits.max_audio_seconds) +
                                             " seconds, the limit (MaxAudioSeconds).");
  }
  file.Finish(nullptr, durability);
  file.Rename();
}

std::optional<std::int32_t> ConfiguredAudioFormat() {
  registry::Key key;
  std::uint32_t value = 0;
  if (Failed(registry::Key::Open(kConfigKey, &key)) ||
      Failed(key.QueryDword(kAudioFormatValue, &value))) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace ringwell::prepax
