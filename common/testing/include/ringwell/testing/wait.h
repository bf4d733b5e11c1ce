// Waiting in a test for something the code under test does: the condition is
// looked at every few milliseconds until it holds or a generous deadline
// passes (a loaded machine may be slow; a test never waits a fixed time for a
// behaviour).
//
// Thread-safety: the condition runs on the calling thread only.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace ringwell::testing {

// Polls `condition` until it holds or `timeout` has passed; returns its last
// value (so a condition that comes true at the deadline still counts).
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60),
                      std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace ringwell::testing
