// The audio of a SIP call: message parts turned into the G.711 bytes of the
// call's codec (8 kHz mono), and the callee's G.711 audio into samples (who
// answered is told from them by amd/answer_detector.h).
//
// Thread-safety: pure functions.
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

// Whether `bytes` of `codec` hold a sound: a sample louder than -48 dBFS.
// Quieter audio (the silence that ends a spoken message, a recording's
// noise floor at most) is not heard over a telephone line.
bool Audible(Codec codec, std::span<const std::uint8_t> bytes);

// Decodes `bytes` of `codec` into linear samples.
void DecodeG711(Codec codec, std::span<const std::uint8_t> bytes, std::vector<std::int16_t>* out);

}  // namespace ringwell::host::sip
