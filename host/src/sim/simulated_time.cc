#include "sim/simulated_time.h"

#include <chrono>

namespace ringwell::host {

void SimulatedTime::Pass(double seconds, const std::atomic<bool>* cut) {
  if (seconds <= 0) return;
  MutexLock lock(mutex_);
  const auto real = std::chrono::duration<double>(seconds * scale_);
  wake_.wait_for(lock.native(), std::chrono::duration_cast<std::chrono::nanoseconds>(real), [&] {
    mutex_.AssertHeld();
    return shut_down_ || (cut != nullptr && cut->load());
  });
}

void SimulatedTime::Wake() {
  // Taking the lock orders the caller's `cut` before a waiter's next look.
  { MutexLock lock(mutex_); }
  wake_.notify_all();
}

void SimulatedTime::Shutdown() {
  {
    MutexLock lock(mutex_);
    shut_down_ = true;
  }
  wake_.notify_all();
}

}  // namespace ringwell::host
