// The API's own counters for /metrics (Prometheus text exposition 0.0.4):
// its requests by route, method and status code with a latency histogram per
// route and method, and the status callbacks delivered, failed and given up.
// The figures of the rest of the installation (requests by status, calls and
// pages by result, lines, the due queue, the Inbox backlog) are added when the
// page is made (see health.h).
//
// No client can shape the page: a request's route is its route's pattern
// ("other" when none matched; an alert hook's is its configured route's name)
// and its method one of a fixed set ("other" for any other), so the series
// are bounded, and every label value is escaped by the one serializer below.
//
// Thread-safety: every method of Metrics may be called from any thread; a
// MetricsText is a value.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "ringwell/common/thread_annotations.h"

namespace ringwell::api {

// Prometheus text exposition (version 0.0.4), written one family at a time:
// HELP text and label values escaped as the format asks (backslash, double
// quote in label values, line feed), numbers as Prometheus reads them
// (+Inf, -Inf, NaN). Names are the caller's constants.
class MetricsText {
 public:
  using Labels = std::vector<std::pair<std::string_view, std::string_view>>;

  // Starts a family: its "# HELP" and "# TYPE" lines.
  MetricsText& Family(std::string_view name, std::string_view type, std::string_view help);
  // One sample line: NAME{LABELS} VALUE.
  MetricsText& Sample(std::string_view name, const Labels& labels, double value);
  MetricsText& Sample(std::string_view name, const Labels& labels, std::uint64_t value);
  // Text made elsewhere (another MetricsText's), appended as it is.
  MetricsText& Append(std::string_view text);

  const std::string& text() const { return text_; }

 private:
  void WriteLabels(const Labels& labels);
  std::string text_;
};

// The method as a metric label: one of GET, HEAD, POST, PUT, DELETE, PATCH,
// OPTIONS, else "other".
std::string_view MethodLabel(std::string_view method);

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
  Mutex mutex_;
  std::map<std::tuple<std::string, std::string, int>, std::uint64_t> requests_
      RINGWELL_GUARDED_BY(mutex_);
  std::map<std::pair<std::string, std::string>, Histogram> latency_ RINGWELL_GUARDED_BY(mutex_);
  std::atomic<std::uint64_t> callbacks_delivered_{0};
  std::atomic<std::uint64_t> callbacks_failed_{0};
  std::atomic<std::uint64_t> callbacks_given_up_{0};
};

// Writes "# HELP" and "# TYPE" lines of a family (as MetricsText::Family).
std::string MetricHeader(const std::string& name, const std::string& type, const std::string& help);
// A label value with \, " and line feeds escaped (as MetricsText does).
std::string LabelValue(const std::string& value);

}  // namespace ringwell::api
