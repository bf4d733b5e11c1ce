// Times as the command-line client shows them: in tables, in the user's own
// time zone (TZ, else the system's); in JSON, the installation's local time
// with its UTC offset.
//
// Thread-safety: pure functions; the zones are read on first use.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "ringwell/common/ole_date.h"

namespace ringwell::kel::client {

// "2026-12-07 19:30:00" in the user's zone; "-" for no valid date.
std::string UserTime(OleDate date);
std::string UserTime(Moment moment);
// The same, shorter: "12-07 19:30".
std::string ShortUserTime(OleDate date);
std::string ShortUserTime(Moment moment);
// The user's zone as the tables name it, e.g. "CET (UTC+01:00)".
std::string UserZoneLabel();

// "2026-12-07T19:30:00+01:00", or null for no valid date.
nlohmann::json JsonTime(OleDate date);
nlohmann::json JsonTime(Moment moment);

}  // namespace ringwell::kel::client
