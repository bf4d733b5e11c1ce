#include "trunk.h"

#include <algorithm>

namespace ringwell::host::sip {

Trunk::Trunk(TrunkLimits limits)
    : limits_(limits),
      interval_(limits.max_call_rate > 0
                    ? std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(1.0 / limits.max_call_rate))
                    : Clock::duration::zero()) {}

Trunk::Slot::~Slot() {
  if (trunk_ != nullptr) trunk_->Release();
}

bool Trunk::Free(Clock::time_point now) const {
  return (limits_.max_calls <= 0 || in_progress_ < limits_.max_calls) && now >= next_setup_;
}

std::optional<Trunk::Slot> Trunk::Admit(std::stop_token stop, Clock::duration* waited) {
  const Clock::time_point asked = Clock::now();
  if (waited != nullptr) *waited = Clock::duration::zero();
  if (limits_.max_calls <= 0 && limits_.max_call_rate <= 0) {
    if (stop.stop_requested()) return std::nullopt;
    return Slot(nullptr);
  }
  // Made before the lock is taken: a stop already requested runs it here.
  const std::stop_callback wake(stop, [this] {
    MutexLock lock(mutex_);
    changed_.notify_all();
  });
  MutexLock lock(mutex_);
  const std::uint64_t ticket = next_ticket_++;
  waiting_.push_back(ticket);
  for (;;) {
    if (stop.stop_requested()) {
      waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
      changed_.notify_all();  // the line behind may be in front now
      return std::nullopt;
    }
    const Clock::time_point now = Clock::now();
    if (waiting_.front() == ticket && Free(now)) break;
    const bool only_the_rate = waiting_.front() == ticket && now < next_setup_ &&
                               (limits_.max_calls <= 0 || in_progress_ < limits_.max_calls);
    if (only_the_rate) {
      changed_.wait_until(lock.native(), next_setup_);
    } else {
      changed_.wait(lock.native());
    }
  }
  waiting_.pop_front();
  ++in_progress_;
  const Clock::time_point now = Clock::now();
  if (interval_ > Clock::duration::zero()) next_setup_ = std::max(now, next_setup_) + interval_;
  changed_.notify_all();  // the next line in front looks again
  if (waited != nullptr) *waited = now - asked;
  return Slot(this);
}

void Trunk::Release() {
  MutexLock lock(mutex_);
  --in_progress_;
  changed_.notify_all();
}

}  // namespace ringwell::host::sip
