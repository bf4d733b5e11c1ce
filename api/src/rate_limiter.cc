#include "rate_limiter.h"

#include <algorithm>
#include <cmath>

namespace ringwell::api {
namespace {

constexpr std::size_t kMaxNames = 10000;

}  // namespace

RateLimiter::Bucket& RateLimiter::Refill(const std::string& name,
                                         std::chrono::steady_clock::time_point now) {
  if (buckets_.size() >= kMaxNames && buckets_.find(name) == buckets_.end()) {
    std::erase_if(buckets_, [&](const auto& entry) {
      const double elapsed = std::chrono::duration<double>(now - entry.second.last).count();
      return entry.second.tokens + elapsed * rate_ >= burst_;
    });
  }
  auto [it, added] = buckets_.try_emplace(name, Bucket{burst_, now});
  Bucket& bucket = it->second;
  const double elapsed = std::chrono::duration<double>(now - bucket.last).count();
  bucket.tokens = std::min(burst_, bucket.tokens + elapsed * rate_);
  bucket.last = now;
  return bucket;
}

bool RateLimiter::Admit(const std::string& name, int* retry_after) {
  const auto now = std::chrono::steady_clock::now();
  MutexLock lock(mutex_);
  Bucket& bucket = Refill(name, now);
  if (bucket.tokens >= 1) {
    bucket.tokens -= 1;
    return true;
  }
  *retry_after = std::max(1, static_cast<int>(std::ceil((1 - bucket.tokens) / rate_)));
  return false;
}

bool RateLimiter::Allows(const std::string& name, int* retry_after) {
  const auto now = std::chrono::steady_clock::now();
  MutexLock lock(mutex_);
  const Bucket& bucket = Refill(name, now);
  if (bucket.tokens >= 1) return true;
  *retry_after = std::max(1, static_cast<int>(std::ceil((1 - bucket.tokens) / rate_)));
  return false;
}

void RateLimiter::Charge(const std::string& name) {
  const auto now = std::chrono::steady_clock::now();
  MutexLock lock(mutex_);
  Bucket& bucket = Refill(name, now);
  bucket.tokens = std::max(0.0, bucket.tokens - 1);
}

}  // namespace ringwell::api
