#include "ringwell/oncall/tables.h"

#include <stdexcept>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::oncall {

void Bad(const std::string& where, const std::string& what) {
  throw std::runtime_error(where + ": " + what);
}

bool IsTableName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return name != "." && name != "..";
}

std::optional<std::string> ReadTablesFile(const std::string& path, bool required) {
  std::string text;
  if (const HRESULT hr = ReadWholeFile(path, &text); Failed(hr)) {
    if (!required && !FileExists(path)) return std::nullopt;
    Bad(path, "cannot be read: " + ErrorText(hr));
  }
  return text;
}

toml::table ParseTables(const std::string& text, const std::string& origin) {
  try {
    return toml::parse(text, origin);
  } catch (const toml::parse_error& e) {
    Bad(origin, "line " + std::to_string(e.source().begin.line) + ", column " +
                    std::to_string(e.source().begin.column) + ": " + std::string(e.description()));
  }
}

std::string TextAt(const toml::node& node, const std::string& at) {
  const auto* value = node.as_string();
  if (value == nullptr) Bad(at, "must be a text");
  return value->get();
}

const toml::table& TableAt(const toml::node& node, const std::string& at) {
  const auto* table = node.as_table();
  if (table == nullptr) Bad(at, "must be a table");
  return *table;
}

Seconds DurationAt(const std::string* text, const std::string& at) {
  const auto parsed = text != nullptr ? ParseDuration(*text) : std::nullopt;
  if (!parsed) Bad(at, "must be a duration such as \"30s\", \"5m\", \"2h\", \"1d\" or \"1w\"");
  return *parsed;
}

Seconds DurationAt(const toml::node& node, const std::string& at) {
  const auto* value = node.as_string();
  return DurationAt(value != nullptr ? &value->get() : nullptr, at);
}

}  // namespace ringwell::oncall
