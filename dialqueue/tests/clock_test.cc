#include "clock.h"

#include <gtest/gtest.h>

#include <thread>

namespace ringwell::dialqueue {
namespace {

TEST(ClockTest, ASleepEndsWhenStopIsRequested) {
  std::stop_source stop;
  std::thread stopper([&] { stop.request_stop(); });
  // Would outlast the test's time limit if the stop did not wake it.
  SystemClock()->SleepFor(std::chrono::hours(1), stop.get_token());
  stopper.join();
  EXPECT_TRUE(stop.stop_requested());
}

}  // namespace
}  // namespace ringwell::dialqueue
