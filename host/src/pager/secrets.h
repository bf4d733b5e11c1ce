// The pager's secrets (gateway API keys, SMTP passwords): named values read
// from a TOML file of `name = "value"` lines that only its owner (and group)
// may read. Configuration templates refer to them as {secret:NAME}; whatever
// the pager writes into results, logs and events passes through Redact, so a
// secret that a gateway echoes back is never recorded.
//
// Thread-safety: a loaded Secrets object is read-only.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace ringwell::host::pager {

class Secrets {
 public:
  Secrets() = default;
  explicit Secrets(std::map<std::string, std::string, std::less<>> values)
      : values_(std::move(values)) {}

  // Reads a secrets file. Throws std::runtime_error when it cannot be read,
  // is not valid TOML, holds a value that is not a string, or can be read by
  // everyone (its mode grants "others" read access).
  static Secrets Load(const std::string& path);

  // The value named `name`, or nullptr.
  const std::string* Find(std::string_view name) const;
  // `text` with every secret value, as it is and percent-encoded, replaced by
  // "[secret NAME]".
  std::string Redact(std::string text) const;

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace ringwell::host::pager
