// Reading the alert routes file, one TOML file with the routes and the
// on-call tables: the steps every reader of it shares, so that a mistake
// reads the same whichever table it is in: "FILE: [TABLE] KEY: what is
// wrong" (or "FILE: line L, column C: ..." for TOML that does not parse).
//
// Thread-safety: plain functions.
#pragma once

#include <toml++/toml.h>

#include <optional>
#include <string>
#include <string_view>

#include "ringwell/oncall/config.h"

namespace ringwell::oncall {

// Throws std::runtime_error "WHERE: WHAT".
[[noreturn]] void Bad(const std::string& where, const std::string& what);

// A name of a table that becomes part of a URL: letters, digits, '-', '_'
// and '.', at most 64 of them, not "." or "..".
bool IsTableName(std::string_view name);

// The file's text; none when the file is missing and not `required`.
// Throws when it cannot be read.
std::optional<std::string> ReadTablesFile(const std::string& path, bool required);

// Parses `text` read from `origin`; throws naming the line and column.
toml::table ParseTables(const std::string& text, const std::string& origin);

// The value of a key `at` ("FILE: [TABLE] KEY"), or an error naming it.
std::string TextAt(const toml::node& node, const std::string& at);
const toml::table& TableAt(const toml::node& node, const std::string& at);
// A duration such as "30s", "5m", "2h", "1d" or "1w". `text` is null when
// the value is not a text.
Seconds DurationAt(const std::string* text, const std::string& at);
Seconds DurationAt(const toml::node& node, const std::string& at);

}  // namespace ringwell::oncall
