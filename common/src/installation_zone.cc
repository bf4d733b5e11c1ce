// Local time in the installation's time zone, with the zone rules from the
// system's zoneinfo files (cctz reads them; no process-wide TZ is touched).
#include <cctz/civil_time.h>
#include <cctz/time_zone.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>

#include "ringwell/common/ole_date.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"

namespace ringwell {
namespace {

struct Zone {
  cctz::time_zone zone = cctz::utc_time_zone();
  std::string name = "UTC";
};

std::string ConfiguredZoneName() {
  std::string configured;
  registry::Read([&](const registry::Tree& tree) {
    if (auto value = tree.Query(kConfigKey, "TimeZone")) {
      if (const auto* text = std::get_if<std::string>(&*value)) configured = *text;
    }
  });
  return configured;
}

Zone LoadZone() {
  const std::string configured = ConfiguredZoneName();
  Zone result;
  for (const std::string& name : {std::string(Trim(configured)), std::string("/etc/localtime")}) {
    if (!name.empty() && cctz::load_time_zone(name, &result.zone)) {
      result.name = name;
      return result;
    }
  }
  return result;
}

std::mutex& ZoneMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const Zone>& LoadedZone() {
  static std::shared_ptr<const Zone> zone;
  return zone;
}

// The zone in force; a handle, cheap to copy.
std::shared_ptr<const Zone> CurrentZoneInfo() {
  {
    std::lock_guard lock(ZoneMutex());
    if (LoadedZone()) return LoadedZone();
  }
  auto zone = std::make_shared<const Zone>(LoadZone());  // unlocked: the registry may be slow
  std::lock_guard lock(ZoneMutex());
  if (!LoadedZone()) LoadedZone() = std::move(zone);
  return LoadedZone();
}

cctz::time_zone CurrentZone() { return CurrentZoneInfo()->zone; }

// Reads an offset "+hh:mm", "+hhmm" or "+hh" (or "-"); seconds east of UTC.
std::optional<int> ParseOffset(std::string_view text) {
  if (text.size() < 3 || (text[0] != '+' && text[0] != '-')) return std::nullopt;
  const int sign = text[0] == '-' ? -1 : 1;
  std::string digits;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == ':' && i == 3) continue;
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    digits += text[i];
  }
  if (digits.size() != 2 && digits.size() != 4) return std::nullopt;
  const int hours = std::stoi(digits.substr(0, 2));
  const int minutes = digits.size() == 4 ? std::stoi(digits.substr(2)) : 0;
  if (hours > 18 || minutes > 59) return std::nullopt;
  return sign * (hours * 3600 + minutes * 60);
}

}  // namespace

std::string InstallationTimeZone() { return CurrentZoneInfo()->name; }

void ReloadInstallationTimeZone() {
  auto zone = std::make_shared<const Zone>(LoadZone());
  std::lock_guard lock(ZoneMutex());
  LoadedZone() = std::move(zone);
}

std::optional<std::string> UnknownConfiguredTimeZone() {
  const std::string name(Trim(ConfiguredZoneName()));
  cctz::time_zone zone;
  if (name.empty() || cctz::load_time_zone(name, &zone)) return std::nullopt;
  return name;
}

std::optional<OleDate> OleDateFromMoment(Moment moment) {
  using std::chrono::floor;
  const auto seconds = floor<std::chrono::seconds>(moment);
  const cctz::civil_second civil = cctz::convert(seconds, CurrentZone());
  CivilTime c;
  c.year = static_cast<int>(civil.year());
  c.month = civil.month();
  c.day = civil.day();
  c.hour = civil.hour();
  c.minute = civil.minute();
  c.second = civil.second();
  c.millisecond = static_cast<int>((moment - seconds).count());
  return OleDateFromCivil(c);
}

std::optional<Moment> MomentFromOleDate(OleDate date) {
  auto c = CivilFromOleDate(date);
  if (!c) return std::nullopt;
  const cctz::civil_second civil(c->year, c->month, c->day, c->hour, c->minute, c->second);
  const auto lookup = CurrentZone().lookup(civil);
  return Moment(lookup.pre.time_since_epoch()) + std::chrono::milliseconds(c->millisecond);
}

int InstallationUtcOffset(Moment moment) {
  return CurrentZone().lookup(std::chrono::floor<std::chrono::seconds>(moment)).offset;
}

std::string OleDateToIsoWithOffset(OleDate date) {
  const auto moment = MomentFromOleDate(date);
  if (!moment) return {};
  // The local time again: a skipped local time reads as the one it stands for.
  const std::string local = OleDateToIso(OleDateFromMoment(*moment).value_or(date));
  const int offset = InstallationUtcOffset(*moment);
  if (offset == 0) return local + "Z";
  char zone[16];
  const int minutes = std::abs(offset) / 60;
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return local + zone;
}

std::optional<OleDate> OleDateFromIsoWithZone(std::string_view text) {
  text = Trim(text);
  std::optional<int> offset;
  if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) {
    offset = 0;
    text.remove_suffix(1);
  } else if (const auto sign = text.find_last_of("+-");
             sign != std::string_view::npos && sign > 10) {
    offset = ParseOffset(text.substr(sign));
    if (!offset) return std::nullopt;
    text = text.substr(0, sign);
  }
  const auto written = OleDateFromIso(text);
  if (!written || !offset) return written;
  // The written civil time at that offset, as a moment, then as local time.
  const auto as_utc = CivilFromOleDate(*written);
  const cctz::civil_second civil(as_utc->year, as_utc->month, as_utc->day, as_utc->hour,
                                 as_utc->minute, as_utc->second);
  const auto seconds = cctz::convert(civil, cctz::utc_time_zone()) - std::chrono::seconds(*offset);
  return OleDateFromMoment(Moment(seconds.time_since_epoch()) +
                           std::chrono::milliseconds(as_utc->millisecond));
}

}  // namespace ringwell
