// Bounds on a request as a whole, so that a small request file cannot fill a
// disk with audio or keep the speech engine busy for hours. Each text part
// and recording has its own bounds (MaxTextBytes, MaxAudioSeconds); these
// are configured beside them under SOFTWARE\Corvane\Ringwell:
//
//   MaxRequestParts         message parts in the whole call tree (default 100)
//   MaxRequestTextBytes     bytes of all its text parts together (default 131072)
//   MaxRequestAudioSeconds  seconds of all its audio together (default 1800)
//
// A missing value, a value of 0 or a store that cannot be read gives the
// default. The toolkit refuses a request past them before writing it; the
// preprocessing daemon fails one that reaches Inbox anyway.
//
// Thread-safety: may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>

namespace ringwell {

inline constexpr char kMaxRequestPartsValue[] = "MaxRequestParts";
inline constexpr char kMaxRequestTextBytesValue[] = "MaxRequestTextBytes";
inline constexpr char kMaxRequestAudioSecondsValue[] = "MaxRequestAudioSeconds";

struct RequestLimits {
  std::uint32_t max_parts = 100;
  std::uint32_t max_text_bytes = 128 * 1024;
  std::uint32_t max_audio_seconds = 1800;
};

// The limits as configured now (read from the registry store on each call).
RequestLimits ConfiguredRequestLimits();

// What a request file holds, as the limits count it: every element named
// "MessagePart" below `request`, and the bytes of the text of those whose
// "Type" is "Text".
struct RequestSize {
  std::uint64_t parts = 0;
  std::uint64_t text_bytes = 0;
};
RequestSize MeasureRequest(pugi::xml_node request);

// The first limit that `size` is past, as a sentence naming it ("The request
// has 120 message parts, more than the limit of 100 (MaxRequestParts)."), or
// nullopt.
std::optional<std::string> RequestSizeFault(const RequestSize& size, const RequestLimits& limits);

// The sentence for audio past the limit ("The request's audio lasts more
// than 1800 seconds, the limit (MaxRequestAudioSeconds).").
std::string RequestAudioFault(const RequestLimits& limits);

}  // namespace ringwell
