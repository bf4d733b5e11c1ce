#include "scheduler_state.h"

namespace ringwell::dialqueue {

ComPtr<tallier::ITallier> SchedulerState::Tallier() const {
  MutexLock lock(mutex_);
  return tallier_;
}

void SchedulerState::SetTallier(ComPtr<tallier::ITallier> tallier) {
  ComPtr<tallier::ITallier> old;  // released after the lock is dropped
  MutexLock lock(mutex_);
  old = std::exchange(tallier_, std::move(tallier));
}

void SchedulerState::ReleaseTallier(const ComPtr<tallier::ITallier>& tallier) {
  ComPtr<tallier::ITallier> old;
  MutexLock lock(mutex_);
  if (tallier_ == tallier) old = std::exchange(tallier_, nullptr);
}

std::shared_ptr<Clock> SchedulerState::clock() const {
  MutexLock lock(mutex_);
  return clock_;
}

SchedulerState& ProcessState() {
  // Never destroyed: a host that ends without releasing the scheduler must not
  // pull the queues from under its running workers.
  static auto* state = new SchedulerState();
  return *state;
}

}  // namespace ringwell::dialqueue
