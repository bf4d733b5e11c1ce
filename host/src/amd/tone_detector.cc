#include "amd/tone_detector.h"

#include <spandsp.h>

#include <cmath>

#include "amd/voice_activity.h"

namespace ringwell::host::amd {
namespace {

// A frame is a tone when one filter holds this share of its energy (a pure
// tone halfway between two filters still gives about 0.8), and when it is
// loud enough to be meant. The frame where a tone stops holds less of it.
constexpr double kToneShare = 0.6;
constexpr double kEndingShare = 0.25;
constexpr double kToneLevel = -45;
// A beep keeps its frequency within this much of where it started.
constexpr double kBeepDrift = 2 * ToneDetector::kStep;

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

bool ToneDetector::Frame(std::span<const std::int16_t> frame, double level, double seconds) {
  seconds_ = seconds;
  if (spandsp_->fax != nullptr) {
    modem_connect_tones_rx(spandsp_->fax, frame.data(), int(frame.size()));
  }
  double share = 0;
  double frequency = 0;
  if (level >= kToneLevel && frame.size() == kFrameSamples) {
    double energy = 0;
    for (std::int16_t sample : frame) energy += double(sample) * sample;
    double best = 0;
    for (std::size_t i = 0; i < spandsp_->filters.size(); ++i) {
      goertzel_state_t state;
      goertzel_init(&state, &spandsp_->filters[i]);
      goertzel_update(&state, frame.data(), int(frame.size()));
      const double power = goertzel_result(&state);
      if (power > best) {
        best = power;
        frequency = spandsp_->frequencies[i];
      }
    }
    // A pure tone at a filter's frequency gives N x energy.
    if (energy > 0) share = best / (double(kFrameSamples) * energy);
  }
  const bool tone = share >= kToneShare;
  const bool same = run_ && std::fabs(frequency - run_->frequency) <= kBeepDrift;
  if (same && share >= kEndingShare) {
    run_->end = seconds;
    if (tone) return true;
  }
  // The run going on, if any, has ended (with this frame when it still held
  // some of the tone): a beep when its length and frequency fit.
  if (run_) {
    const double length = run_->end - run_->start;
    if (length >= kShortestBeep - 1e-9 && length <= kLongestBeep + 1e-9 &&
        run_->frequency >= kLowestBeep && run_->frequency <= kHighestBeep) {
      beep_ = run_;
    }
    const bool ending = run_->end == seconds;
    run_.reset();
    if (ending) return true;
  }
  if (tone) run_ = Beep{seconds - kFrameSeconds, seconds, frequency};
  return tone;
}

std::optional<Beep> ToneDetector::TakeBeep() {
  std::optional<Beep> beep;
  beep.swap(beep_);
  return beep;
}

}  // namespace ringwell::host::amd
