// Request identifiers as people type them: the registry form a submission
// prints ("{0F8F1C2E-...}"), or the same without its braces, in any letter
// case. kel's report and cancel commands and the HTTP API read identifiers
// through this one function.
//
// Thread-safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ringwell::kel::client {

// The identifier in the form the files are named by (braces, upper case), or
// nullopt when `text` is not a request identifier in either form.
std::optional<std::string> CanonicalRequestId(std::string_view text);

// CanonicalRequestId, or `text` unchanged when it is no identifier (the
// toolkit then finds no such request, or refuses a name that is no plain name).
std::string NormaliseRequestId(std::string_view text);

}  // namespace ringwell::kel::client
