// Simulated time for the simulated lines: a simulated second takes a
// configurable, usually small, share of a real second, and every wait ends at
// once when the host shuts down.
//
// Thread-safety: one SimulatedTime may be used from every line at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "ringwell/common/thread_annotations.h"

namespace ringwell::host {

class SimulatedTime {
 public:
  // `real_seconds_per_second`: how long one simulated second takes.
  explicit SimulatedTime(double real_seconds_per_second) : scale_(real_seconds_per_second) {}
  // Waits for `seconds` of simulated time; returns at once after Shutdown(),
  // or once `cut` (when given) is set and Wake() called.
  void Pass(double seconds, const std::atomic<bool>* cut = nullptr);
  // Has every wait look at its `cut` again.
  void Wake();
  // Ends every wait now and later (calls in progress finish at once).
  void Shutdown();

 private:
  const double scale_;
  Mutex mutex_;
  std::condition_variable wake_;
  bool shut_down_ RINGWELL_GUARDED_BY(mutex_) = false;
};

}  // namespace ringwell::host
