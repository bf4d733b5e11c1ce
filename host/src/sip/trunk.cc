#include "trunk.h"

#include <algorithm>

namespace ringwell::host::sip {
namespace {

// How long a line's INVITE may take to leave before the next line goes.
constexpr auto kInviteWait = std::chrono::seconds(2);

}  // namespace

Trunk::Trunk(TrunkLimits limits)
    : limits_(limits),
      interval_(limits.max_call_rate > 0
                    ? std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(1.0 / limits.max_call_rate))
                    : Clock::duration::zero()) {}

Trunk::Slot::~Slot() {
  if (trunk_ != nullptr) trunk_->Release(ticket_);
}

Trunk::Clock::time_point Trunk::NextSetup() const {
  return awaiting_invite_ ? std::max(next_setup_, let_go_at_ + kInviteWait) : next_setup_;
}

bool Trunk::Free(Clock::time_point now) const {
  return (limits_.max_calls <= 0 || in_progress_ < limits_.max_calls) && now >= NextSetup();
}

std::optional<Trunk::Slot> Trunk::Admit(std::stop_token stop, Clock::duration* waited) {
  const Clock::time_point asked = Clock::now();
  if (waited != nullptr) *waited = Clock::duration::zero();
  if (limits_.max_calls <= 0 && limits_.max_call_rate <= 0) {
    if (stop.stop_requested()) return std::nullopt;
    return Slot(nullptr, 0);
  }
  Waiter me;
  // Made before the lock is taken: a stop already requested runs it here.
  const std::stop_callback wake(stop, [this, &me] {
    MutexLock lock(mutex_);
    me.wake.notify_all();
  });
  MutexLock lock(mutex_);
  const std::uint64_t ticket = ++next_ticket_;
  me.ticket = ticket;
  waiting_.push_back(&me);
  for (;;) {
    if (stop.stop_requested()) {
      waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &me));
      WakeFront();  // the line behind may be in front now
      return std::nullopt;
    }
    const Clock::time_point now = Clock::now();
    if (waiting_.front() == &me && Free(now)) break;
    const bool only_the_rate = waiting_.front() == &me && now < NextSetup() &&
                               (limits_.max_calls <= 0 || in_progress_ < limits_.max_calls);
    if (only_the_rate) {
      me.wake.wait_until(lock.native(), NextSetup());
    } else {
      me.wake.wait(lock.native());
    }
  }
  waiting_.pop_front();
  ++in_progress_;
  const Clock::time_point now = Clock::now();
  if (interval_ > Clock::duration::zero()) {
    next_setup_ = now + interval_;
    awaiting_invite_ = true;
    let_go_at_ = now;
    let_go_ = ticket;
  }
  WakeFront();  // the next line in front looks again
  if (waited != nullptr) *waited = now - asked;
  return Slot(this, ticket);
}

void Trunk::InviteSent(Clock::time_point at) {
  if (interval_ == Clock::duration::zero()) return;
  MutexLock lock(mutex_);
  awaiting_invite_ = false;
  next_setup_ = std::max(next_setup_, at + interval_);
  WakeFront();
}

void Trunk::Release(std::uint64_t ticket) {
  MutexLock lock(mutex_);
  --in_progress_;
  // A line that ends without sending its INVITE holds the next one up no more.
  if (awaiting_invite_ && let_go_ == ticket) awaiting_invite_ = false;
  WakeFront();
}

void Trunk::WakeFront() {
  if (!waiting_.empty()) waiting_.front()->wake.notify_one();
}

}  // namespace ringwell::host::sip
