#include "user_time.h"

#include <cctz/time_zone.h>

#include <cstdlib>

namespace ringwell::kel::client {
namespace {

const cctz::time_zone& UserZone() {
  static const cctz::time_zone zone = cctz::local_time_zone();
  return zone;
}

std::string Format(const char* pattern, Moment moment) {
  return cctz::format(pattern, std::chrono::floor<std::chrono::seconds>(moment), UserZone());
}

bool Valid(OleDate date) { return date >= kMinOleDate && date <= kMaxOleDate; }

}  // namespace

std::string UserTime(Moment moment) { return Format("%Y-%m-%d %H:%M:%S", moment); }
std::string ShortUserTime(Moment moment) { return Format("%m-%d %H:%M", moment); }

std::string UserTime(OleDate date) {
  const auto moment = Valid(date) ? MomentFromOleDate(date) : std::nullopt;
  return moment ? UserTime(*moment) : "-";
}

std::string ShortUserTime(OleDate date) {
  const auto moment = Valid(date) ? MomentFromOleDate(date) : std::nullopt;
  return moment ? ShortUserTime(*moment) : "-";
}

std::string UserZoneLabel() {
  const auto now =
      std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
  std::string offset = Format("%Ez", now);
  return Format("%Z", now) + " (UTC" + offset + ")";
}

nlohmann::json JsonTime(OleDate date) {
  if (!Valid(date)) return nullptr;
  const std::string text = OleDateToIsoWithOffset(date);
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

nlohmann::json JsonTime(Moment moment) {
  const auto date = OleDateFromMoment(moment);
  return date ? JsonTime(*date) : nlohmann::json(nullptr);
}

}  // namespace ringwell::kel::client
