// The API's own counters for /metrics (Prometheus text exposition 0.0.4):
// its requests by route, method and status code with a latency histogram per
// route and method, and the status callbacks delivered, failed and given up.
// The figures of the rest of the installation (requests by status, calls and
// pages by result, lines, the due queue, the Inbox backlog) are added when the
// page is made (see health.h).
//
// Thread-safety: every method may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

namespace ringwell::api {

class Metrics {
 public:
  static constexpr std::array<double, 12> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                      0.05,   0.1,   0.25,   0.5,   1,    2.5};

  void ObserveRequest(const std::string& route, const std::string& method, int status,
                      double seconds);
  void CallbackDelivered() { ++callbacks_delivered_; }
  void CallbackFailed() { ++callbacks_failed_; }
  void CallbackGivenUp() { ++callbacks_given_up_; }

  // The API's own families, each with HELP and TYPE.
  std::string Render();

 private:
  struct Histogram {
    std::array<std::uint64_t, kBuckets.size()> buckets{};
    std::uint64_t count = 0;
    double sum = 0;
  };
  std::mutex mutex_;
  std::map<std::tuple<std::string, std::string, int>, std::uint64_t> requests_;
  std::map<std::pair<std::string, std::string>, Histogram> latency_;
  std::atomic<std::uint64_t> callbacks_delivered_{0};
  std::atomic<std::uint64_t> callbacks_failed_{0};
  std::atomic<std::uint64_t> callbacks_given_up_{0};
};

// Writes "# HELP" and "# TYPE" lines of a family.
std::string MetricHeader(const std::string& name, const std::string& type, const std::string& help);
// A label value with \, " and line breaks escaped.
std::string LabelValue(const std::string& value);

}  // namespace ringwell::api
