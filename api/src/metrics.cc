#include "metrics.h"

#include <cstdio>

namespace ringwell::api {
namespace {

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

}  // namespace

std::string MetricHeader(const std::string& name, const std::string& type,
                         const std::string& help) {
  return "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::string LabelValue(const std::string& value) {
  std::string text;
  for (const char c : value) {
    if (c == '\\' || c == '"') {
      text += '\\';
      text += c;
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text;
}

void Metrics::ObserveRequest(const std::string& route, const std::string& method, int status,
                             double seconds) {
  std::lock_guard lock(mutex_);
  ++requests_[{route, method, status}];
  Histogram& histogram = latency_[{route, method}];
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++histogram.buckets[i];
  }
  ++histogram.count;
  histogram.sum += seconds;
}

std::string Metrics::Render() {
  std::string text = MetricHeader("ringwell_api_requests_total", "counter",
                                  "HTTP requests answered by the API, by route, method and code.");
  std::lock_guard lock(mutex_);
  for (const auto& [key, count] : requests_) {
    const auto& [route, method, status] = key;
    text += "ringwell_api_requests_total{route=\"" + LabelValue(route) + "\",method=\"" + method +
            "\",code=\"" + std::to_string(status) + "\"} " + std::to_string(count) + "\n";
  }
  text += MetricHeader("ringwell_api_request_duration_seconds", "histogram",
                       "Time from a request's arrival to its response, by route and method.");
  for (const auto& [key, histogram] : latency_) {
    const std::string labels =
        "route=\"" + LabelValue(key.first) + "\",method=\"" + key.second + "\"";
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
      text += "ringwell_api_request_duration_seconds_bucket{" + labels + ",le=\"" +
              Number(kBuckets[i]) + "\"} " + std::to_string(histogram.buckets[i]) + "\n";
    }
    text += "ringwell_api_request_duration_seconds_bucket{" + labels + ",le=\"+Inf\"} " +
            std::to_string(histogram.count) + "\n";
    text +=
        "ringwell_api_request_duration_seconds_sum{" + labels + "} " + Number(histogram.sum) + "\n";
    text += "ringwell_api_request_duration_seconds_count{" + labels + "} " +
            std::to_string(histogram.count) + "\n";
  }
  text += MetricHeader("ringwell_callback_deliveries_total", "counter",
                       "Status callback events delivered (a 2xx reply).") +
          "ringwell_callback_deliveries_total " + std::to_string(callbacks_delivered_) + "\n";
  text += MetricHeader("ringwell_callback_failures_total", "counter",
                       "Status callback attempts that failed (to be retried).") +
          "ringwell_callback_failures_total " + std::to_string(callbacks_failed_) + "\n";
  text += MetricHeader("ringwell_callback_given_up_total", "counter",
                       "Status callback events dropped after failing for too long.") +
          "ringwell_callback_given_up_total " + std::to_string(callbacks_given_up_) + "\n";
  return text;
}

}  // namespace ringwell::api
