// The audio formats the system writes: the stream format numbers 4 to 68
// (the number configured as AudioFormat), each with the wave format
// description a wav file in that format carries in its fmt chunk and the
// libsndfile format that writes it.
//
//   4-39   PCM at 8, 11.025, 12, 16, 22.05, 24, 32, 44.1 and 48 kHz, each as
//          8-bit mono, 8-bit stereo, 16-bit mono, 16-bit stereo
//   40     TrueSpeech 8 kHz mono (refused: nothing can encode it)
//   41-48  A-law, 49-56 mu-law, 57-64 MS ADPCM: 8, 11.025, 22.05 and 44.1 kHz,
//          mono and stereo each
//   65-68  GSM 6.10 at the same four rates, mono
//
// The description of a number is exactly what libsndfile writes for it, so a
// file written in a format is recognised as being in that format when its fmt
// chunk is read back (ReadStoredFormat) and compared byte for byte.
//
// Thread-safety: the table is immutable; every function may be called from
// any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ringwell::audio {

// A wave format description: the 18-byte header (format tag, channels,
// sample rate, bytes per second, block align, bits per sample, size of the
// extra bytes) followed by the extra bytes.
struct WaveFormat {
  std::uint16_t format_tag = 0;
  std::uint16_t channels = 0;
  std::uint32_t samples_per_sec = 0;
  std::uint32_t avg_bytes_per_sec = 0;
  std::uint16_t block_align = 0;
  std::uint16_t bits_per_sample = 0;
  std::vector<std::uint8_t> extra;  // its size is the header's size field

  // The description as stored: 18 bytes, little-endian, then the extra bytes.
  std::vector<std::uint8_t> Bytes() const;
  friend bool operator==(const WaveFormat&, const WaveFormat&) = default;
};

// Wave format tags.
constexpr std::uint16_t kTagPcm = 0x0001;
constexpr std::uint16_t kTagMsAdpcm = 0x0002;
constexpr std::uint16_t kTagALaw = 0x0006;
constexpr std::uint16_t kTagMuLaw = 0x0007;
constexpr std::uint16_t kTagTrueSpeech = 0x0022;
constexpr std::uint16_t kTagGsm610 = 0x0031;

enum class Encoding { kPcmU8, kPcm16, kALaw, kMuLaw, kMsAdpcm, kGsm610 };

// One stream format number of the table.
struct AudioFormat {
  std::int32_t number = 0;
  Encoding encoding = Encoding::kPcm16;
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;

  // The description libsndfile writes into the fmt chunk for this format.
  WaveFormat Wave() const;
  // SF_FORMAT_WAV combined with the subtype that encodes this format.
  int SndfileFormat() const;
  // Frames per encoded block (1 for PCM, A-law and mu-law).
  std::uint32_t FramesPerBlock() const;
  // A readable name, such as "22.05 kHz 16-bit mono PCM".
  std::string Name() const;
};

inline constexpr std::int32_t kFirstWaveFormat = 4;
inline constexpr std::int32_t kLastWaveFormat = 68;
inline constexpr std::int32_t kTrueSpeechFormat = 40;

// Every format the system can write, in number order (4 to 68 without 40).
std::span<const AudioFormat> AudioFormats();

// The format of `number`. Throws ComError(E_INVALIDARG) carrying the reason
// for TrueSpeech (40) and for every number outside 4 to 68.
const AudioFormat& FindAudioFormat(std::int32_t number);

// The description stored in the fmt chunk of the wav file open on `fd` (read
// with pread; the file offset is not used). A 16-byte PCM chunk is read as a
// description with no extra bytes. Throws ComError(E_INVALIDARG) with the
// reason when the file is not a RIFF/WAVE file, has no complete fmt chunk, or
// is truncated (its data chunk says more than the file holds); a read error
// throws its system error.
WaveFormat ReadStoredFormat(int fd);
// The same for the file at `path` (open errors throw their system error).
WaveFormat ReadStoredFormat(const std::string& path);

}  // namespace ringwell::audio
