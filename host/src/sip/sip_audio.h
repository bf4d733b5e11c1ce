// The audio of a SIP call: message parts turned into the G.711 bytes of the
// call's codec (8 kHz mono), and the greeting detector that tells when the
// callee has finished speaking after picking up.
//
// Thread-safety: LoadPartAudio is a pure function over files; a
// GreetingDetector is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ringwell::host::sip {

enum class Codec { kPcmu, kPcma };

inline constexpr int kSampleRate = 8000;
inline constexpr int kFrameSamples = 160;  // 20 ms

// The wav file `path` as bytes of `codec`: a file already in that codec at
// 8 kHz mono is taken as it is; any other format is decoded, mixed to mono,
// resampled to 8 kHz and encoded. Empty with `error` when the file cannot be
// read (a symbolic link is not followed) or plays longer than an hour.
std::optional<std::vector<std::uint8_t>> LoadPartAudio(const std::string& path, Codec codec,
                                                       std::string* error);

// The silence of `codec`.
std::uint8_t SilenceByte(Codec codec);

// Decodes `bytes` of `codec` into linear samples.
void DecodeG711(Codec codec, std::span<const std::uint8_t> bytes, std::vector<std::int16_t>* out);

// Watches the callee's audio after pick-up: the greeting is over once speech
// was heard and then `kSilenceAfterSpeech` of silence followed, or when no
// speech came within `kSilenceWithoutSpeech`.
class GreetingDetector {
 public:
  static constexpr double kSilenceAfterSpeech = 0.7;
  static constexpr double kSilenceWithoutSpeech = 3.0;

  // Feeds `samples` (8 kHz) of the callee's audio.
  void Feed(std::span<const std::int16_t> samples);
  bool Over() const;

 private:
  double heard_ = 0;    // seconds of audio fed
  double speech_ = 0;   // seconds of speech
  double silence_ = 0;  // seconds of silence since the last speech
};

}  // namespace ringwell::host::sip
