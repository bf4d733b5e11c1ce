#include "clock.h"

#include <condition_variable>
#include <mutex>

namespace ringwell::dialqueue {
namespace {

class CSystemClock final : public Clock {
 public:
  OleDate Now() override { return OleDateNow(); }

  void SleepFor(std::chrono::milliseconds duration, const std::stop_token& stop) override {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, duration, [] { return false; });
  }
};

}  // namespace

std::shared_ptr<Clock> SystemClock() {
  static const std::shared_ptr<Clock> clock = std::make_shared<CSystemClock>();
  return clock;
}

}  // namespace ringwell::dialqueue
