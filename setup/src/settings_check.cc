// The check of every value under the installation's registry keys: each
// known setting against its type and range, and every name no program reads
// (a misspelt setting is otherwise ignored without a word).
#include "settings_check.h"

#include <cstdint>
#include <string>
#include <vector>

#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"

namespace ringwell::setup {
namespace {

using registry::WrittenValue;
using Kind = WrittenValue::Kind;

constexpr char kApiKey[] = "SOFTWARE\\Corvane\\Ringwell\\Api";

struct Setting {
  const char* name;
  Kind kind;
  std::int64_t minimum = 0;  // kInteger only
  std::int64_t maximum = 0;
  const char* meaning = "";  // for the range: "0 for the default, 65536"
};

constexpr std::int64_t kGiB = 1LL << 30;

// The installation's settings. AudioFormat and TimeZone have checks of their
// own (the format table, the zone files): here only their kind.
const Setting kSettings[] = {
    {"RootDir", Kind::kString},
    {"AudioFormat", Kind::kInteger},
    {"TimeZone", Kind::kString},
    {"MaxTextBytes", Kind::kInteger, 0, kGiB, "0 for the default, 65536"},
    {"MaxAudioSeconds", Kind::kInteger, 0, 86400, "0 for the default, 1800"},
    {"MaxRequestParts", Kind::kInteger, 0, 100000, "0 for the default, 100"},
    {"MaxRequestTextBytes", Kind::kInteger, 0, kGiB, "0 for the default, 131072"},
    {"MaxRequestAudioSeconds", Kind::kInteger, 0, 86400, "0 for the default, 1800"},
    {"MinFreeSpaceKB", Kind::kInteger, 0, 4 * kGiB - 1, "0 for the default, 16384"},
    {"SharedRoot", Kind::kInteger, 0, 1, "1 when hosts on several boxes share the root"},
    {"LeaseSeconds", Kind::kInteger, 0, 3600, "0 for the default, 42"},
    {"HostId", Kind::kString},
};

// The HTTP API's settings; ringwell-api --check checks their ranges.
const Setting kApiSettings[] = {
    {"Listen", Kind::kString},
    {"TlsCertificate", Kind::kString},
    {"TlsKey", Kind::kString},
    {"TokenFile", Kind::kString},
    {"CallbackSecretFile", Kind::kString},
    {"ConsoleDir", Kind::kString},
    {"AlertRoutes", Kind::kString},
    {"Threads", Kind::kInteger},
    {"MaxBodyBytes", Kind::kInteger},
    {"MaxUploadBytes", Kind::kInteger},
    {"RateLimit", Kind::kInteger},
    {"RateBurst", Kind::kInteger},
    {"ClientTimeout", Kind::kInteger},
    {"MetricsNeedToken", Kind::kInteger},
    {"ReadyMaxAge", Kind::kInteger},
    {"CallbackTimeout", Kind::kInteger},
    {"CallbackRetryMillis", Kind::kInteger},
    {"CallbackRetryMaxSeconds", Kind::kInteger},
    {"CallbackGiveUpHours", Kind::kInteger},
    {"CallbackAllowPrivate", Kind::kInteger},
};

// "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]", as the files write it.
std::string TableName(std::string_view key) {
  std::string name = "[HKEY_LOCAL_MACHINE.";
  for (char c : key) name += c == '\\' ? '.' : c;
  return name + "]";
}

// Where to change a value: the hand-written file, or the drop-in that gives it.
std::string WhereToChange(const WrittenValue& value) {
  return value.hand_written ? "in " + value.file
                            : "in " + value.file +
                                  " (a drop-in: correct it there or set the value "
                                  "in " +
                                  registry::StorePath() + ", which wins)";
}

template <std::size_t N>
void CheckKey(const registry::Tree& tree, std::string_view key, const Setting (&known)[N],
              const char* subkey_allowed, std::vector<Problem>* problems) {
  std::string names;
  for (const Setting& setting : known)
    names += std::string(names.empty() ? "" : ", ") + setting.name;
  for (const WrittenValue& value : tree.Values(key)) {
    const Setting* setting = nullptr;
    for (const Setting& candidate : known) {
      if (EqualsIgnoringCase(candidate.name, value.name)) setting = &candidate;
    }
    const std::string shown = value.kind == Kind::kString ? "\"" + value.string + "\"" : value.text;
    const std::string written =
        value.name + " = " + shown + " (" + value.file + ", " + TableName(key) + ")";
    if (setting == nullptr) {
      problems->push_back({"unknown setting " + written + ": no program reads it",
                           "correct its name or remove it " + WhereToChange(value) +
                               "; the settings of this table are " + names,
                           Concern::kUnknownSetting});
      continue;
    }
    if (setting->kind == Kind::kString && value.kind != Kind::kString) {
      problems->push_back({"the setting " + written + " is not a string",
                           "write it in double quotes " + WhereToChange(value), Concern::kSetting});
      continue;
    }
    if (setting->kind != Kind::kInteger) continue;
    const bool numeric_text = value.kind == Kind::kString && ParseInteger(value.string).has_value();
    const std::string range =
        setting->maximum > setting->minimum
            ? "a whole number from " + std::to_string(setting->minimum) + " to " +
                  std::to_string(setting->maximum) +
                  (*setting->meaning ? std::string(" (") + setting->meaning + ")" : std::string())
            : std::string("a whole number");
    if (value.kind != Kind::kInteger && !numeric_text) {
      problems->push_back({"the setting " + written + " is not a whole number",
                           "set it to " + range + " " + WhereToChange(value), Concern::kSetting});
      continue;
    }
    const std::int64_t number =
        value.kind == Kind::kInteger ? value.integer : *ParseInteger(value.string);
    if (setting->maximum > setting->minimum &&
        (number < setting->minimum || number > setting->maximum)) {
      problems->push_back(
          {"the setting " + written + " is out of range",
           "set it to " + range + " " + WhereToChange(value) + ", or remove it for the default",
           Concern::kSetting});
    }
  }
  for (const std::string& subkey : tree.Subkeys(key)) {
    if (subkey_allowed != nullptr && EqualsIgnoringCase(subkey, subkey_allowed)) continue;
    const std::string which = subkey_allowed == nullptr
                                  ? "no table belongs below " + TableName(key)
                                  : "the only table below " + TableName(key) + " is " +
                                        TableName(std::string(key) + "\\" + subkey_allowed);
    problems->push_back({"unknown table " + TableName(std::string(key) + "\\" + subkey) +
                             " in the registry: no program reads it",
                         "correct its name or remove it (" + which + ")",
                         Concern::kUnknownSetting});
  }
}

}  // namespace

void CheckSettings(std::vector<Problem>* problems) {
  registry::Read([&](const registry::Tree& tree) {
    CheckKey(tree, kConfigKey, kSettings, "Api", problems);
    CheckKey(tree, kApiKey, kApiSettings, nullptr, problems);
  });
}

}  // namespace ringwell::setup
