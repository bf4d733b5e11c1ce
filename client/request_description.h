// Request descriptions: a notification written as JSON, checked and turned
// into a toolkit request.
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
//     "machineDetection": {"machine": "leave-message", "greeting": 1.5},
//     "additionalInfo": "<Ticket id=\"42\"/>",
//     "statusCallback": "https://hooks.example/ringwell"   (HTTP API only)
//   }
//
// A PART is {"say": "text", "voice": "Female", "volume": 90, "rate": 0}, or
// {"play": "greeting.wav"} naming a wav file in the file store, or
// {"play": "/path/to/greeting.wav"}, a wav file to store first (also a plain
// name of a file in the current directory); a plain string is a text to say.
// A message may also be written as just its list of parts. Times are "now", a
// moment relative to now ("+90s", "+10m", "+2h", "+1d") or an ISO 8601 time,
// with "Z" or an offset, or without a zone for the installation's time zone.
// A window without "stop" ends an hour after its start.
//
// "machineDetection" tells how a SIP line tells a person from a voicemail and
// what it does with a machine; it is kept in the request's attribute
// MachineDetection ("machine=leave-message,greeting=1.5"), whose keys and
// values are those of ringwell/common/machine_detection.h.
//
// Every key and every value's type is checked; blank numbers are dropped. A
// refused description names the field and writes nothing.
//
// Thread-safety: a description is read and built by one thread, with the
// toolkit objects of that thread.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ringwell/common/ole_date.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel::client {

// How deep a description's JSON may nest: deeper than any call tree the
// toolkit accepts (64 responses take about 130 levels).
inline constexpr int kMaxDescriptionDepth = 150;

// Parses the text of a description. Nesting deeper than kMaxDescriptionDepth
// is refused while parsing, so memory stays bounded whatever the text. Throws
// Failure (E_INVALIDARG) "<origin>: not JSON: ..." or "<origin>: JSON nested
// deeper than 150 levels".
nlohmann::json ParseDescription(std::string_view text, const std::string& origin);

// A time as the description writes it, relative to `now`.
std::optional<OleDate> ParseWhen(std::string_view text, OleDate now);

// A local wav file that goes into the file store before the request is
// submitted.
struct StagedFile {
  std::string source;    // path of the local file
  std::string name;      // its name in the store
  bool replace = false;  // a different file of that name is stored already
};

struct BuiltRequest {
  ComPtr<IKelRequest> request;
  std::vector<StagedFile> files;
  std::string status_callback;  // "statusCallback" (HTTP API only), or empty
};

struct BuildContext {
  IKelService* service = nullptr;  // looks up stored files; nothing is written
  OleDate now = 0;
  bool overwrite = false;   // a played file may replace a stored one
  bool from_flags = false;  // name fields as the flags of `kel submit`
  // Submitted over HTTP: "play" names only files in the store (never a path
  // on the server), and "statusCallback" (an http:// or https:// URL that
  // receives every change of the report) is accepted.
  bool http_api = false;
};

// Checks the description and builds the request. Throws Failure naming the
// field for a description that does not fit the form above, that cannot work
// or that the toolkit refuses. Writes nothing.
BuiltRequest BuildRequest(const nlohmann::json& description, const BuildContext& context);

}  // namespace ringwell::kel::client
