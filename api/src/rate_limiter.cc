#include "rate_limiter.h"

#include <algorithm>
#include <cmath>

namespace ringwell::api {

bool RateLimiter::Admit(const std::string& name, int* retry_after) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  auto [it, added] = buckets_.try_emplace(name, Bucket{burst_, now});
  Bucket& bucket = it->second;
  const double elapsed = std::chrono::duration<double>(now - bucket.last).count();
  bucket.tokens = std::min(burst_, bucket.tokens + elapsed * rate_);
  bucket.last = now;
  if (bucket.tokens >= 1) {
    bucket.tokens -= 1;
    return true;
  }
  *retry_after = std::max(1, static_cast<int>(std::ceil((1 - bucket.tokens) / rate_)));
  return false;
}

}  // namespace ringwell::api
