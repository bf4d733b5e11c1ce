// What a page says and how it is filled into a channel's templates.
//
// The page text is the request's message: the text parts (MessagePart
// elements of Type "Text") of the call tree's first Message, in order, each
// trimmed, empty ones left out, joined by one space. Parts of other types
// (recordings) are left out. A text longer than the configured maximum is cut
// to its first `max_length` characters (Unicode code points; a multi-byte
// character is never split), with no mark added, so that a gateway's
// 160-character limit holds exactly.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "pager/secrets.h"

namespace ringwell::host::pager {

// The text of the page for the request document `request_xml`; empty when it
// has no text parts or is not XML. `max_length` 0 means no limit.
std::string PageText(std::string_view request_xml, std::size_t max_length);

// The request's ID attribute (empty when none).
std::string RequestId(std::string_view request_xml);

// `text` cut to at most `max_length` code points (0: unchanged).
std::string CutToLength(std::string text, std::size_t max_length);

struct PageFields {
  std::string number;
  std::string text;
  std::string id;
};

enum class Encoding {
  kRaw,  // values as they are
  kUrl,  // values percent-encoded (for a URL)
};

// Fills {number}, {text}, {id} and {secret:NAME} into `pattern`. Throws
// std::runtime_error for any other {...} or an unknown secret name.
std::string FillTemplate(std::string_view pattern, const PageFields& fields, const Secrets& secrets,
                         Encoding encoding = Encoding::kRaw);

// Percent-encodes everything but letters, digits and "-._~".
std::string UrlEncode(std::string_view text);

}  // namespace ringwell::host::pager
