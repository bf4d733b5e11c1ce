#include "ringwell/common/hresult.h"
#include "ringwell/wavshift/audio_error.h"
#include "ringwell/wavshift/audio_file.h"

namespace ringwell::audio {

void MixFrames(const float* in, std::uint16_t in_channels, float* out, std::uint16_t out_channels,
               std::size_t frames) {
  if (out_channels != 1 && out_channels != 2) {
    ThrowWithReason(E_INVALIDARG, "Only mono and stereo audio can be written.");
  }
  const std::size_t channels = in_channels;
  if (channels == out_channels) {
    std::copy(in, in + frames * channels, out);
  } else if (channels == 1) {  // mono into both channels
    for (std::size_t f = 0; f < frames; ++f) out[2 * f] = out[2 * f + 1] = in[f];
  } else if (channels == 2) {  // the usual case: the average of left and right
    for (std::size_t f = 0; f < frames; ++f) out[f] = (in[2 * f] + in[2 * f + 1]) * 0.5f;
  } else if (out_channels == 1) {  // the average of all channels
    const float scale = 1.0f / static_cast<float>(channels);
    for (std::size_t f = 0; f < frames; ++f, in += channels) {
      float sum = 0;
      for (std::size_t c = 0; c < channels; ++c) sum += in[c];
      out[f] = sum * scale;
    }
  } else {  // more than two into stereo: even channels left, odd right
    const float left = 1.0f / static_cast<float>((channels + 1) / 2);
    const float right = 1.0f / static_cast<float>(channels / 2);
    for (std::size_t f = 0; f < frames; ++f, in += channels) {
      float sums[2] = {0, 0};
      for (std::size_t c = 0; c < channels; ++c) sums[c % 2] += in[c];
      out[2 * f] = sums[0] * left;
      out[2 * f + 1] = sums[1] * right;
    }
  }
}

AudioBuffer MixChannels(const AudioBuffer& audio, std::uint16_t channels) {
  AudioBuffer out{audio.rate, channels, std::vector<float>(audio.frames() * channels)};
  if (audio.channels != 0) {
    MixFrames(audio.samples.data(), audio.channels, out.samples.data(), channels, audio.frames());
  }
  return out;
}

}  // namespace ringwell::audio
