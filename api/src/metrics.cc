#include "metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ringwell::api {
namespace {

std::string Number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  // The shortest text that reads back as the same number.
  char text[64];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

// HELP text: backslash and line feed escaped.
void AppendHelp(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

void AppendLabelValue(std::string& out, std::string_view value) {
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

}  // namespace

MetricsText& MetricsText::Family(std::string_view name, std::string_view type,
                                 std::string_view help) {
  text_.append("# HELP ").append(name).append(" ");
  AppendHelp(text_, help);
  text_.append("\n# TYPE ").append(name).append(" ").append(type).append("\n");
  return *this;
}

void MetricsText::WriteLabels(const Labels& labels) {
  if (labels.empty()) return;
  text_ += '{';
  bool first = true;
  for (const auto& [name, value] : labels) {
    if (!first) text_ += ',';
    first = false;
    text_.append(name).append("=\"");
    AppendLabelValue(text_, value);
    text_ += '"';
  }
  text_ += '}';
}

MetricsText& MetricsText::Sample(std::string_view name, const Labels& labels, double value) {
  text_.append(name);
  WriteLabels(labels);
  text_.append(" ").append(Number(value)).append("\n");
  return *this;
}

MetricsText& MetricsText::Sample(std::string_view name, const Labels& labels, std::uint64_t value) {
  text_.append(name);
  WriteLabels(labels);
  text_.append(" ").append(std::to_string(value)).append("\n");
  return *this;
}

MetricsText& MetricsText::Append(std::string_view text) {
  text_.append(text);
  return *this;
}

std::string_view MethodLabel(std::string_view method) {
  for (const std::string_view known :
       {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
    if (method == known) return known;
  }
  return "other";
}

std::string MetricHeader(const std::string& name, const std::string& type,
                         const std::string& help) {
  return MetricsText().Family(name, type, help).text();
}

std::string LabelValue(const std::string& value) {
  std::string text;
  AppendLabelValue(text, value);
  return text;
}

void Metrics::ObserveRequest(const std::string& route, const std::string& method, int status,
                             double seconds) {
  const std::string label(MethodLabel(method));
  MutexLock lock(mutex_);
  ++requests_[{route, label, status}];
  Histogram& histogram = latency_[{route, label}];
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++histogram.buckets[i];
  }
  ++histogram.count;
  histogram.sum += seconds;
}

std::string Metrics::Render() {
  MetricsText text;
  text.Family("ringwell_api_requests_total", "counter",
              "HTTP requests answered by the API, by route, method and code.");
  MutexLock lock(mutex_);
  for (const auto& [key, count] : requests_) {
    const auto& [route, method, status] = key;
    const std::string code = std::to_string(status);
    text.Sample("ringwell_api_requests_total",
                {{"route", route}, {"method", method}, {"code", code}}, count);
  }
  text.Family("ringwell_api_request_duration_seconds", "histogram",
              "Time from a request's arrival to its response, by route and method.");
  for (const auto& [key, histogram] : latency_) {
    const auto& [route, method] = key;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
      const std::string le = Number(kBuckets[i]);
      text.Sample("ringwell_api_request_duration_seconds_bucket",
                  {{"route", route}, {"method", method}, {"le", le}}, histogram.buckets[i]);
    }
    text.Sample("ringwell_api_request_duration_seconds_bucket",
                {{"route", route}, {"method", method}, {"le", "+Inf"}}, histogram.count);
    text.Sample("ringwell_api_request_duration_seconds_sum", {{"route", route}, {"method", method}},
                histogram.sum);
    text.Sample("ringwell_api_request_duration_seconds_count",
                {{"route", route}, {"method", method}}, histogram.count);
  }
  text.Family("ringwell_callback_deliveries_total", "counter",
              "Status callback events delivered (a 2xx reply).")
      .Sample("ringwell_callback_deliveries_total", {}, callbacks_delivered_.load());
  text.Family("ringwell_callback_failures_total", "counter",
              "Status callback attempts that failed (to be retried).")
      .Sample("ringwell_callback_failures_total", {}, callbacks_failed_.load());
  text.Family("ringwell_callback_given_up_total", "counter",
              "Status callback events dropped after failing for too long.")
      .Sample("ringwell_callback_given_up_total", {}, callbacks_given_up_.load());
  return text.text();
}

}  // namespace ringwell::api
