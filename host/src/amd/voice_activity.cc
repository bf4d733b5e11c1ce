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

VoiceActivity::VoiceActivity() { recent_.fill(-96); }

bool VoiceActivity::Frame(double level) {
  recent_[count_ % kFloorFrames] = level;
  ++count_;
  const std::size_t filled = std::min(count_, kFloorFrames);
  floor_ = *std::min_element(recent_.begin(), recent_.begin() + long(filled));
  return level >= kMinimumLevel && level >= floor_ + kAboveFloor;
}

}  // namespace ringwell::host::amd
