// Trunk: what a SIP trunk (the account the lines call from) allows. Carriers
// sell capacity as calls in progress at once and call set-ups per second,
// and refuse what goes beyond; the host keeps within both instead of being
// refused. A line asks the trunk before it sends an INVITE (Admit) and holds
// the slot it gets until the call is over, its last reply included.
//
// - At most `max_calls` slots are held at once.
// - Set-ups are spaced evenly: one every 1 / `max_call_rate` seconds at the
//   closest, so no burst ever goes beyond the rate, over any span of time.
//   The spacing holds on the wire, not only when lines are let go: the stack
//   reports each call's INVITE as it sends it (InviteSent), and the next line goes one
//   interval after that INVITE really left, however long the stack's loop
//   took to send it (a line whose INVITE does not leave within 2 s no longer
//   holds the others up).
// - Lines that cannot go yet wait, and go in the order they asked.
//
// A limit of 0 is no limit; with neither, Admit returns at once.
//
// Thread-safety: every member may be called from any thread; a Slot belongs
// to the line that got it, and must not outlive its trunk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <stop_token>
#include <utility>

#include "ringwell/common/thread_annotations.h"

namespace ringwell::host::sip {

struct TrunkLimits {
  int max_calls = 0;         // calls in progress at once; 0: any number
  double max_call_rate = 0;  // call set-ups per second; 0: any rate
};

class Trunk {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Trunk(TrunkLimits limits);
  Trunk(const Trunk&) = delete;
  Trunk& operator=(const Trunk&) = delete;

  // A call's hold on the trunk, given back when it is destroyed.
  class Slot {
   public:
    Slot(Slot&& other) noexcept
        : trunk_(std::exchange(other.trunk_, nullptr)), ticket_(other.ticket_) {}
    Slot& operator=(Slot&&) = delete;
    ~Slot();

   private:
    friend class Trunk;
    Slot(Trunk* trunk, std::uint64_t ticket) : trunk_(trunk), ticket_(ticket) {}
    Trunk* trunk_;
    std::uint64_t ticket_;
  };

  // Waits until a call may be set up and takes a slot for it; empty when
  // `stop` was requested first (the host is stopping). `waited` (if given)
  // receives how long the line waited.
  std::optional<Slot> Admit(std::stop_token stop, Clock::duration* waited = nullptr)
      RINGWELL_EXCLUDES(mutex_);

  // The first INVITE of a call went out at `at` (the stack tells; the
  // retransmissions of an INVITE are not set-ups).
  void InviteSent(Clock::time_point at) RINGWELL_EXCLUDES(mutex_);

  const TrunkLimits& limits() const { return limits_; }

 private:
  void Release(std::uint64_t ticket) RINGWELL_EXCLUDES(mutex_);
  // The front line may set up its call at `now`.
  bool Free(Clock::time_point now) const RINGWELL_REQUIRES(mutex_);
  // When the rate lets the next set-up go.
  Clock::time_point NextSetup() const RINGWELL_REQUIRES(mutex_);

  const TrunkLimits limits_;
  const Clock::duration interval_;  // between set-ups; 0: no rate limit

  // A line waiting in Admit, woken on its own: only the line in front looks
  // at a change (with thousands of lines waiting, waking them all for each
  // set-up costs more than the calls).
  struct Waiter {
    std::uint64_t ticket;
    std::condition_variable wake;
  };
  // Wakes the line in front, which looks again.
  void WakeFront() RINGWELL_REQUIRES(mutex_);

  Mutex mutex_;
  int in_progress_ RINGWELL_GUARDED_BY(mutex_) = 0;
  // The earliest moment of the next set-up.
  Clock::time_point next_setup_ RINGWELL_GUARDED_BY(mutex_);
  // The line let go last has not sent its INVITE yet (it was let go at
  // `let_go_at_`, with the ticket `let_go_`).
  bool awaiting_invite_ RINGWELL_GUARDED_BY(mutex_) = false;
  Clock::time_point let_go_at_ RINGWELL_GUARDED_BY(mutex_);
  std::uint64_t let_go_ RINGWELL_GUARDED_BY(mutex_) = 0;
  // Lines waiting, the first to ask in front.
  std::deque<Waiter*> waiting_ RINGWELL_GUARDED_BY(mutex_);
  std::uint64_t next_ticket_ RINGWELL_GUARDED_BY(mutex_) = 0;
};

}  // namespace ringwell::host::sip
