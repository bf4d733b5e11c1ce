// Small text helpers shared by the components: comparisons that ignore the
// case of ASCII letters (A-Z only, as names and status words are compared
// throughout the system), trimming and strict number parsing.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ringwell {

constexpr char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Compares code unit by code unit after folding A-Z to a-z; a prefix is less.
int CompareIgnoringCase(std::string_view a, std::string_view b);
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// Ordering for maps keyed by names that compare ignoring case.
struct LessIgnoringCase {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    return CompareIgnoringCase(a, b) < 0;
  }
};

// Removes leading and trailing white space (space, tab, CR, LF, VT, FF).
std::string_view Trim(std::string_view text);

// A decimal integer with an optional sign and surrounding blanks; nothing
// else.
std::optional<std::int64_t> ParseInteger(std::string_view text);
// The same, limited to the 32-bit range.
std::optional<std::int32_t> ParseInt32(std::string_view text);

// Number of characters (code points) of UTF-8 text.
std::size_t CountCharacters(std::string_view utf8);

}  // namespace ringwell
