#include "amd/tone_detector.h"

#include <spandsp.h>

#include <algorithm>
#include <cmath>

#include "amd/voice_activity.h"

namespace ringwell::host::amd {
namespace {

// The window each frame is looked at over: this frame and the one before.
constexpr std::size_t kWindow = 2 * kFrameSamples;
// A pure tone holds this share of the window's energy at its frequency (a
// tone with a little line noise or hum under it still holds 0.95), no
// harmonic (2f, 3f, f/2) more than this share of the tone's power, and it
// is loud enough to be meant.
constexpr double kPureShare = 0.85;
constexpr double kHarmonicShare = 0.01;
constexpr double kCoarseShare = 0.6;
constexpr double kToneLevel = -45;
// The finer filters around the strongest of the bank, 1 Hz apart.
constexpr int kFineSpan = 16;
// Frame times add up in steps of 20 ms; comparisons allow for rounding.
constexpr double kTimeSlack = 1e-6;

double Power(std::span<const std::int16_t> window, double frequency) {
  goertzel_descriptor_t descriptor;
  make_goertzel_descriptor(&descriptor, float(frequency), int(window.size()));
  goertzel_state_t state;
  goertzel_init(&state, &descriptor);
  goertzel_update(&state, window.data(), int(window.size()));
  return goertzel_result(&state);
}

}  // namespace

struct ToneDetector::Spandsp {
  std::vector<goertzel_descriptor_t> filters;
  std::vector<double> frequencies;
  modem_connect_tones_rx_state_t* fax = nullptr;

  ~Spandsp() {
    if (fax != nullptr) modem_connect_tones_rx_free(fax);
  }
};

ToneDetector::ToneDetector() : spandsp_(std::make_unique<Spandsp>()) {
  for (double f = kLowest; f <= kHighest; f += kStep) {
    goertzel_descriptor_t descriptor;
    make_goertzel_descriptor(&descriptor, float(f), int(kFrameSamples));
    spandsp_->filters.push_back(descriptor);
    spandsp_->frequencies.push_back(f);
  }
  spandsp_->fax = modem_connect_tones_rx_init(nullptr, MODEM_CONNECT_TONES_FAX_CED_OR_PREAMBLE,
                                              &ToneDetector::OnModemTone, this);
}

ToneDetector::~ToneDetector() = default;

void ToneDetector::OnModemTone(void* self, int code, int, int) {
  auto* detector = static_cast<ToneDetector*>(self);
  if (code != MODEM_CONNECT_TONES_NONE && !detector->fax_) detector->fax_ = detector->seconds_;
}

double ToneDetector::PureTone(std::span<const std::int16_t> window, double level) const {
  if (level < kToneLevel || window.size() != kWindow) return 0;
  double energy = 0;
  for (std::int16_t sample : window) energy += double(sample) * sample;
  if (energy <= 0) return 0;
  // The bank looks at the last frame only: a pure tone anywhere between
  // two of its filters gives the nearer one 0.8 of the frame's energy;
  // much less is no tone, and needs no closer look.
  const auto frame = window.last(kFrameSamples);
  double frame_energy = 0;
  for (std::int16_t sample : frame) frame_energy += double(sample) * sample;
  double best = 0, coarse = 0;
  for (std::size_t i = 0; i < spandsp_->filters.size(); ++i) {
    goertzel_state_t state;
    goertzel_init(&state, &spandsp_->filters[i]);
    goertzel_update(&state, frame.data(), int(frame.size()));
    const double power = goertzel_result(&state);
    if (power > best) {
      best = power;
      coarse = spandsp_->frequencies[i];
    }
  }
  if (best < kCoarseShare * double(kFrameSamples) * frame_energy) return 0;
  best = Power(window, coarse);
  // Most of the energy at one frequency, to the Hz.
  double frequency = coarse;
  for (int d = -kFineSpan; d <= kFineSpan; ++d) {
    const double power = Power(window, coarse + d);
    if (power > best) {
      best = power;
      frequency = coarse + d;
    }
  }
  // A pure tone at the filter's frequency gives N x energy.
  if (best < kPureShare * double(kWindow) * energy) return 0;
  // And nothing at its harmonics, nor at those of a pitch below it.
  for (double harmonic : {2 * frequency, 3 * frequency, frequency / 2}) {
    if (harmonic < 100 || harmonic > kSampleRate / 2 - 100) continue;
    if (Power(window, harmonic) > kHarmonicShare * best) return 0;
  }
  return frequency;
}

bool ToneDetector::Frame(std::span<const std::int16_t> frame, double level, double seconds) {
  seconds_ = seconds;
  if (spandsp_->fax != nullptr) {
    modem_connect_tones_rx(spandsp_->fax, frame.data(), int(frame.size()));
  }
  if (frame.size() != kFrameSamples) return false;
  window_.insert(window_.end(), frame.begin(), frame.end());
  if (window_.size() > kWindow) window_.erase(window_.begin(), window_.end() - long(kWindow));
  const double frequency = PureTone(window_, level);
  if (frequency > 0) {
    double mean = 0;
    for (const ToneFrame& f : run_) mean += f.frequency;
    if (!run_.empty()) mean /= double(run_.size());
    if (run_.empty() || std::fabs(frequency - mean) <= kBeepDrift) {
      run_.push_back({seconds, frequency, level});
      return true;
    }
    EndRun();
    run_.push_back({seconds, frequency, level});
    return true;
  }
  if (run_.empty()) return false;
  // This frame holds the end of the tone (its window is half in it).
  EndRun();
  return true;
}

void ToneDetector::EndRun() {
  // The first frame's window holds the tone whole: it started a frame
  // before it.
  const double start = run_.front().end - 2 * kFrameSeconds;
  const double end = run_.back().end;
  const double length = end - start;
  double mean = 0;
  std::vector<double> levels;
  for (const ToneFrame& f : run_) {
    mean += f.frequency;
    levels.push_back(f.level);
  }
  mean /= double(run_.size());
  std::sort(levels.begin(), levels.end());
  const double median = levels[levels.size() / 2];
  // Steady: every frame but the first and the last (where the tone may
  // fade in and out) near the median level.
  bool steady = true;
  for (std::size_t i = 1; i + 1 < run_.size(); ++i) {
    steady = steady && std::fabs(run_[i].level - median) <= kLevelDrift;
  }
  if (steady && length + kTimeSlack >= kShortestBeep && length <= kLongestBeep + kTimeSlack &&
      mean >= kLowestBeep && mean <= kHighestBeep) {
    beep_ = Beep{start, end, mean};
  }
  run_.clear();
}

std::optional<Beep> ToneDetector::TakeBeep() {
  std::optional<Beep> beep;
  beep.swap(beep_);
  return beep;
}

}  // namespace ringwell::host::amd
