// A token bucket per name (a token's name, a client's address): `rate`
// requests a second on average, up to `burst` at once. A request over the
// limit is told how long to wait. At most 10,000 names are kept: beyond that,
// the names whose bucket is full again are forgotten.
//
// Thread-safety: Admit may be called from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

#include "ringwell/common/thread_annotations.h"

namespace ringwell::api {

class RateLimiter {
 public:
  RateLimiter(double rate, double burst) : rate_(rate), burst_(burst) {}

  // True when `name` may make a request now; otherwise false and
  // `retry_after` (whole seconds, at least 1) until it may.
  bool Admit(const std::string& name, int* retry_after);
  // The same in two steps: whether `name` has a request left (nothing is
  // taken), and taking one (for what counts only after it happened).
  bool Allows(const std::string& name, int* retry_after);
  void Charge(const std::string& name);

 private:
  struct Bucket {
    double tokens = 0;
    std::chrono::steady_clock::time_point last;
  };
  Bucket& Refill(const std::string& name, std::chrono::steady_clock::time_point now)
      RINGWELL_REQUIRES(mutex_);

  const double rate_;
  const double burst_;
  Mutex mutex_;
  std::unordered_map<std::string, Bucket> buckets_ RINGWELL_GUARDED_BY(mutex_);
};

}  // namespace ringwell::api
