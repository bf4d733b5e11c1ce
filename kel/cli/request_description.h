// Request descriptions: a notification written as JSON, turned into a toolkit
// request.
//
//   {
//     "type": "call",                      "call" (default) or "page"
//     "recipients": ["5551234", {"number": "5559876", "service": "sms"}],
//     "window": {"start": "now", "stop": "+1h"},
//     "rings": 7, "maxGreeting": 15,
//     "busy": {"attempts": 3, "delay": 10},   retries after a busy line (delay in minutes)
//     "noAnswer": {"attempts": 3, "delay": 30},
//     "error": {"attempts": 0, "delay": 1},
//     "message": {"replays": 1, "timeout": 3, "parts": [PART, ...]},
//     "responses": [{"button": "1", "message": {...}, "responses": [...]}],
//     "attributes": {"Name": "value"},
//     "additionalInfo": "<Ticket id=\"42\"/>"
//   }
//
// A PART is {"say": "text", "voice": "Female", "volume": 90, "rate": 0}, or
// {"play": "greeting.wav"} naming a wav file in the file store, or
// {"play": "/path/to/greeting.wav"}, which stores that file first; a plain
// string is a text to say. A message may also be written as just its list of
// parts. Times are "now", a moment relative to now ("+90s", "+10m", "+2h",
// "+1d") or a local time "2026-12-07T18:30:00".
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "ringwell/common/ole_date.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel::cli {

// A time as the description writes it, relative to `now`.
std::optional<OleDate> ParseWhen(std::string_view text, OleDate now);

// Builds the request. Throws Failure for a description that does not fit the
// form above or that the toolkit refuses.
ComPtr<IKelRequest> BuildRequest(const nlohmann::json& description, IKelService* service,
                                 OleDate now);

}  // namespace ringwell::kel::cli
