#include "sip_audio.h"

#include <rem_g711.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>

#include "ringwell/common/error_info.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"

namespace ringwell::host::sip {
namespace {

// A wav file's bytes taken as they are, when it is 8 kHz mono in `codec`.
std::optional<std::vector<std::uint8_t>> ReadRaw(const std::string& path, Codec codec) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return std::nullopt;
  const int wanted = codec == Codec::kPcmu ? SF_FORMAT_ULAW : SF_FORMAT_ALAW;
  std::optional<std::vector<std::uint8_t>> bytes;
  constexpr sf_count_t kMaxFrames = sf_count_t{kSampleRate} * 3600;
  if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV &&
      (info.format & SF_FORMAT_SUBMASK) == wanted && info.samplerate == kSampleRate &&
      info.channels == 1 && info.frames >= 0 && info.frames <= kMaxFrames) {
    bytes.emplace(static_cast<std::size_t>(info.frames));
    const sf_count_t got = sf_read_raw(file, bytes->data(), info.frames);
    bytes->resize(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)));
  }
  sf_close(file);
  return bytes;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> LoadPartAudio(const std::string& path, Codec codec,
                                                       std::string* error) {
  if (auto raw = ReadRaw(path, codec)) return raw;
  try {
    audio::AudioBuffer buffer = audio::WavReader::Open(path).ReadAll();
    buffer = audio::Resample(audio::MixChannels(std::move(buffer), 1), kSampleRate);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(buffer.samples.size());
    for (float sample : buffer.samples) {
      const auto linear = static_cast<std::int16_t>(
          std::lround(std::clamp(sample, -1.0f, 1.0f) * 32767.0f));
      bytes.push_back(codec == Codec::kPcmu ? g711_pcm2ulaw(linear) : g711_pcm2alaw(linear));
    }
    return bytes;
  } catch (const ComError& e) {
    *error = audio::FailureText(e);
  } catch (const std::exception& e) {
    *error = e.what();
  }
  return std::nullopt;
}

std::uint8_t SilenceByte(Codec codec) { return codec == Codec::kPcmu ? 0xff : 0xd5; }

void DecodeG711(Codec codec, std::span<const std::uint8_t> bytes, std::vector<std::int16_t>* out) {
  out->clear();
  for (std::uint8_t byte : bytes) {
    out->push_back(codec == Codec::kPcmu ? g711_ulaw2pcm(byte) : g711_alaw2pcm(byte));
  }
}

void GreetingDetector::Feed(std::span<const std::int16_t> samples) {
  if (samples.empty()) return;
  double energy = 0;
  for (std::int16_t sample : samples) energy += double(sample) * sample;
  const double rms = std::sqrt(energy / double(samples.size()));
  const double seconds = double(samples.size()) / kSampleRate;
  heard_ += seconds;
  constexpr double kSpeechLevel = 300;  // about -40 dBFS
  if (rms >= kSpeechLevel) {
    speech_ += seconds;
    silence_ = 0;
  } else {
    silence_ += seconds;
  }
}

bool GreetingDetector::Over() const {
  constexpr double kSpeechNeeded = 0.1;
  if (speech_ >= kSpeechNeeded) return silence_ >= kSilenceAfterSpeech;
  return heard_ >= kSilenceWithoutSpeech;
}

}  // namespace ringwell::host::sip
