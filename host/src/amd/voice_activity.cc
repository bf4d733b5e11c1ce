#include "amd/voice_activity.h"

#include <algorithm>
#include <cmath>

namespace ringwell::host::amd {

double FrameLevel(std::span<const std::int16_t> frame) {
  if (frame.empty()) return -96;
  double energy = 0;
  for (std::int16_t sample : frame) energy += double(sample) * sample;
  const double mean = energy / double(frame.size()) / (32768.0 * 32768.0);
  return std::max(-96.0, 10 * std::log10(std::max(mean, 1e-12)));
}

double Voicing(std::span<const std::int16_t> frame) {
  constexpr std::size_t kShortest = kSampleRate / 400, kLongest = kSampleRate / 80;
  if (frame.size() <= kLongest) return 0;
  double best = 0;
  for (std::size_t lag = kShortest; lag <= kLongest; ++lag) {
    double both = 0, first = 0, second = 0;
    for (std::size_t i = 0; i + lag < frame.size(); ++i) {
      both += double(frame[i]) * frame[i + lag];
      first += double(frame[i]) * frame[i];
      second += double(frame[i + lag]) * frame[i + lag];
    }
    if (first > 0 && second > 0) best = std::max(best, both / std::sqrt(first * second));
  }
  return best;
}

VoiceActivity::VoiceActivity() { recent_.fill(-96); }

bool VoiceActivity::Frame(double level) {
  recent_[count_ % kFloorFrames] = level;
  ++count_;
  const std::size_t filled = std::min(count_, kFloorFrames);
  floor_ = *std::min_element(recent_.begin(), recent_.begin() + long(filled));
  return level >= kMinimumLevel && level >= floor_ + kAboveFloor;
}

}  // namespace ringwell::host::amd
