// The clock the scheduler reads the local time from and sleeps on. The workers
// hold one for their whole life; tests hand in a clock of their own so that
// retry delays, polls and pauses pass without real waiting.
//
// Thread-safety: a clock is called from every worker thread at once.
#pragma once

#include <chrono>
#include <memory>
#include <stop_token>

#include "ringwell/common/ole_date.h"

namespace ringwell::dialqueue {

class Clock {
 public:
  virtual ~Clock() = default;
  // The local time as an automation date.
  virtual OleDate Now() = 0;
  // Waits `duration`, or less when `stop` is requested meanwhile.
  virtual void SleepFor(std::chrono::milliseconds duration, const std::stop_token& stop) = 0;
};

// The system's local time and real sleeps.
std::shared_ptr<Clock> SystemClock();

}  // namespace ringwell::dialqueue
