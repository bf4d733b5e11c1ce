// A token bucket per token name: `rate` requests a second on average, up to
// `burst` at once. A request over the limit is told how long to wait.
//
// Thread-safety: Admit may be called from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

namespace ringwell::api {

class RateLimiter {
 public:
  RateLimiter(double rate, double burst) : rate_(rate), burst_(burst) {}

  // True when `name` may make a request now; otherwise false and
  // `retry_after` (whole seconds, at least 1) until it may.
  bool Admit(const std::string& name, int* retry_after);

 private:
  struct Bucket {
    double tokens = 0;
    std::chrono::steady_clock::time_point last;
  };
  const double rate_;
  const double burst_;
  std::mutex mutex_;
  std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace ringwell::api
