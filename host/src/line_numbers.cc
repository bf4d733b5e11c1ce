#include "line_numbers.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace ringwell::host {
namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The whole of `text` as a number; false when it is something else.
bool Number(std::string_view text, std::int64_t* value) {
  if (text.empty() || text.size() > 12) return false;
  const char* end = text.data() + text.size();
  const auto [at, problem] = std::from_chars(text.data(), end, *value);
  return problem == std::errc() && at == end && *value >= std::numeric_limits<int>::min() &&
         *value <= std::numeric_limits<int>::max();
}

}  // namespace

bool ParseLineNumbers(std::string_view text, std::vector<int>* lines, std::string* error) {
  std::vector<int> parsed = *lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item =
        Trimmed(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    const std::string quoted = "\"" + std::string(item) + "\"";
    if (item.empty()) {
      *error = "an empty item in the line list \"" + std::string(text) + "\"";
      return false;
    }
    std::int64_t first = 0;
    std::int64_t last = 0;
    // A dash after the first character separates a range; a leading one is
    // the sign of a single number.
    const std::size_t dash = item.find('-', 1);
    if (dash == std::string_view::npos) {
      if (!Number(item, &first)) {
        *error = quoted + " is not a line number";
        return false;
      }
      last = first;
    } else if (!Number(Trimmed(item.substr(0, dash)), &first) ||
               !Number(Trimmed(item.substr(dash + 1)), &last) || first < 0) {
      *error = quoted + " is not a range of line numbers (FIRST-LAST, e.g. 1-500)";
      return false;
    } else if (last < first) {
      *error = "the range " + quoted + " runs backwards";
      return false;
    }
    if (std::int64_t(parsed.size()) + (last - first + 1) > kMaxLines) {
      *error = "more than " + std::to_string(kMaxLines) + " lines";
      return false;
    }
    for (std::int64_t line = first; line <= last; ++line) parsed.push_back(static_cast<int>(line));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  *lines = std::move(parsed);
  return true;
}

}  // namespace ringwell::host
