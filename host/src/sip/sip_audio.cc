#include "sip_audio.h"

#include <fcntl.h>
#include <rem_g711.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "ringwell/common/error_info.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"
#include "ringwell/wavshift/audio_format.h"
#include "ringwell/wavshift/audio_stream.h"

namespace ringwell::host::sip {
namespace {

// Stream format numbers of 8 kHz mono mu-law and A-law.
constexpr std::int32_t kMuLaw8k = 49;
constexpr std::int32_t kALaw8k = 41;
// The longest part a call plays.
constexpr unsigned kMaxSeconds = 3600;

// The bytes of `file`, an 8 kHz mono wav file in `codec`, as they are;
// empty when it is in another format or longer than an hour.
std::optional<std::vector<std::uint8_t>> ReadRaw(SNDFILE* file, const SF_INFO& info, Codec codec) {
  const int wanted = codec == Codec::kPcmu ? SF_FORMAT_ULAW : SF_FORMAT_ALAW;
  constexpr sf_count_t kMaxFrames = sf_count_t{kSampleRate} * kMaxSeconds;
  if ((info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_WAV ||
      (info.format & SF_FORMAT_SUBMASK) != wanted || info.samplerate != kSampleRate ||
      info.channels != 1 || info.frames < 0 || info.frames > kMaxFrames) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.frames));
  const sf_count_t got = sf_read_raw(file, bytes.data(), info.frames);
  bytes.resize(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)));
  return bytes;
}

std::optional<std::vector<std::uint8_t>> ReadRawFile(const std::string& path, Codec codec) {
  // A part's wav file lies below the storage root: never read through a link.
  UniqueFd fd;
  if (Failed(OpenFile(path, O_RDONLY | O_NONBLOCK, 0, &fd))) return std::nullopt;
  SF_INFO info{};
  SNDFILE* file = sf_open_fd(fd.get(), SFM_READ, &info, SF_TRUE);
  if (file == nullptr) return std::nullopt;
  fd.release();  // closed with the file
  auto bytes = ReadRaw(file, info, codec);
  sf_close(file);
  return bytes;
}

// Converts `path` with the project's audio library into an 8 kHz mono wav
// file of `codec` in memory and takes its bytes.
std::vector<std::uint8_t> Convert(const std::string& path, Codec codec) {
  audio::WavReader reader = audio::WavReader::Open(path);
  if (reader.frames() / reader.rate() > kMaxSeconds) {
    audio::ThrowWithReason(E_INVALIDARG, "longer than an hour");
  }
  const int fd = ::memfd_create("ringwell-part", MFD_CLOEXEC);
  if (fd < 0) throw ComError(HresultFromErrno(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  {
    audio::WavEncoder encoder(fd, reader.rate(), reader.channels(),
                              audio::FindAudioFormat(codec == Codec::kPcmu ? kMuLaw8k : kALaw8k));
    std::vector<float> block(audio::kBlockFrames * reader.channels());
    while (const std::size_t frames = reader.Read(block.data(), audio::kBlockFrames)) {
      encoder.Write(block.data(), frames);
    }
    encoder.Finish();
  }
  ::lseek(fd, 0, SEEK_SET);
  SF_INFO info{};
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
  if (file == nullptr) throw ComError(E_FAIL);
  auto bytes = ReadRaw(file, info, codec);
  sf_close(file);
  if (!bytes) throw ComError(E_FAIL);
  return std::move(*bytes);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> LoadPartAudio(const std::string& path, Codec codec,
                                                       std::string* error) {
  if (auto raw = ReadRawFile(path, codec)) return raw;
  try {
    return Convert(path, codec);
  } catch (const ComError& e) {
    *error = audio::FailureText(e);
  } catch (const std::exception& e) {
    *error = e.what();
  }
  return std::nullopt;
}

std::uint8_t SilenceByte(Codec codec) { return codec == Codec::kPcmu ? 0xff : 0xd5; }

namespace {

std::int16_t Decoded(Codec codec, std::uint8_t byte) {
  return codec == Codec::kPcmu ? g711_ulaw2pcm(byte) : g711_alaw2pcm(byte);
}

}  // namespace

bool Audible(Codec codec, std::span<const std::uint8_t> bytes) {
  constexpr int kQuiet = 128;  // -48 dBFS
  return std::any_of(bytes.begin(), bytes.end(), [codec](std::uint8_t byte) {
    const int sample = Decoded(codec, byte);
    return sample > kQuiet || sample < -kQuiet;
  });
}

void DecodeG711(Codec codec, std::span<const std::uint8_t> bytes, std::vector<std::int16_t>* out) {
  out->clear();
  for (std::uint8_t byte : bytes) out->push_back(Decoded(codec, byte));
}

}  // namespace ringwell::host::sip
