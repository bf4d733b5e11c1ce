#include <soxr.h>

#include <cmath>

#include "ringwell/common/hresult.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"

namespace ringwell::audio {

AudioBuffer Resample(AudioBuffer audio, std::uint32_t rate) {
  if (audio.rate == rate || audio.frames() == 0 || audio.rate == 0) {
    audio.rate = rate;
    return audio;
  }
  const double ratio = static_cast<double>(rate) / audio.rate;
  const std::size_t in_frames = audio.frames();
  const auto out_capacity = static_cast<std::size_t>(std::ceil(in_frames * ratio)) + 16;
  AudioBuffer out;
  out.rate = rate;
  out.channels = audio.channels;
  out.samples.resize(out_capacity * audio.channels);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  std::size_t out_frames = 0;
  const soxr_error_t error =
      soxr_oneshot(audio.rate, rate, audio.channels, audio.samples.data(), in_frames, nullptr,
                   out.samples.data(), out_capacity, &out_frames, &io, &quality, nullptr);
  if (error != nullptr) ThrowWithReason(E_FAIL, std::string("Resampling failed: ") + error + ".");
  out.samples.resize(out_frames * audio.channels);
  return out;
}

AudioBuffer MixChannels(AudioBuffer audio, std::uint16_t channels) {
  if (audio.channels == channels || audio.channels == 0) {
    audio.channels = channels;
    return audio;
  }
  if (channels != 1 && channels != 2) {
    ThrowWithReason(E_INVALIDARG, "Only mono and stereo audio can be written.");
  }
  const std::size_t frames = audio.frames();
  const std::size_t in = audio.channels;
  AudioBuffer out;
  out.rate = audio.rate;
  out.channels = channels;
  out.samples.resize(frames * channels);
  for (std::size_t f = 0; f < frames; ++f) {
    const float* frame = &audio.samples[f * in];
    if (in == 1) {  // mono into both channels
      out.samples[f * 2] = frame[0];
      out.samples[f * 2 + 1] = frame[0];
    } else if (channels == 1) {  // the average of all channels
      float sum = 0;
      for (std::size_t c = 0; c < in; ++c) sum += frame[c];
      out.samples[f] = sum / static_cast<float>(in);
    } else {  // more than two into stereo: even channels left, odd right
      float sums[2] = {0, 0};
      for (std::size_t c = 0; c < in; ++c) sums[c % 2] += frame[c];
      out.samples[f * 2] = sums[0] / static_cast<float>((in + 1) / 2);
      out.samples[f * 2 + 1] = sums[1] / static_cast<float>(in / 2);
    }
  }
  return out;
}

AudioBuffer ConvertForFormat(AudioBuffer audio, const AudioFormat& format) {
  // Fewer channels first, so that less audio is resampled.
  if (format.channels < audio.channels) {
    return Resample(MixChannels(std::move(audio), format.channels), format.rate);
  }
  return MixChannels(Resample(std::move(audio), format.rate), format.channels);
}

}  // namespace ringwell::audio
