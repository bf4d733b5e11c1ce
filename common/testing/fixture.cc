#include "ringwell/testing/fixture.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "ringwell/common/error_info.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/storage.h"

namespace ringwell::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "ringwell-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything removable again (tests take permissions away).
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

void RingwellTest::SetUp() {
  root_ = dir_.path() + "root/";
  registry_path_ = dir_.path() + "registry.toml";
  event_log_path_ = dir_.path() + "events.jsonl";
  scratch_ = dir_.path() + "scratch/";
  for (const char* sub : {"Inbox", "Requests", "Reports", "Files/{0}"}) {
    fs::create_directories(root_ + sub);
  }
  fs::create_directories(scratch_);
  setenv("RINGWELL_REGISTRY", registry_path_.c_str(), 1);
  setenv("RINGWELL_EVENTLOG", event_log_path_.c_str(), 1);
  setenv("RINGWELL_JOURNAL", "0", 1);
  SetConfigString(kRootDirValue, root_);
  ClearErrorInfo();
}

void RingwellTest::TearDown() {
  unsetenv("RINGWELL_EVENTLOG");
  unsetenv("RINGWELL_REGISTRY");
}

std::vector<EventLogEntry> RingwellTest::EventLogEntries() const {
  std::vector<EventLogEntry> entries;
  std::ifstream in(event_log_path_);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto json = nlohmann::json::parse(line);
    EventLogEntry entry;
    entry.source = json.at("source").get<std::string>();
    entry.type = json.at("type").get<std::string>();
    entry.event_id = json.at("event_id").get<std::uint32_t>();
    entry.strings = json.at("strings").get<std::vector<std::string>>();
    entry.text = json.at("text").get<std::string>();
    entry.request_id = json.value("request_id", std::string());
    entry.path = json.value("path", std::string());
    if (json.contains("line")) entry.line = json.at("line").get<std::int32_t>();
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::map<std::string, std::string> RingwellTest::ProgramEnvironment() const {
  return {{"RINGWELL_REGISTRY", registry_path_},
          {"RINGWELL_EVENTLOG", event_log_path_},
          {"RINGWELL_JOURNAL", "0"}};
}

void RingwellTest::ClearEventLog() {
  std::error_code ec;
  fs::remove(event_log_path_, ec);
}

void RingwellTest::SetConfigString(const std::string& name, const std::string& value) {
  registry::Key key;
  ASSERT_EQ(registry::Key::Create(kConfigKey, &key), 0);
  ASSERT_EQ(key.SetString(name, value), 0);
}

void RingwellTest::SetConfigNumber(const std::string& name, std::uint32_t value) {
  registry::Key key;
  ASSERT_EQ(registry::Key::Create(kConfigKey, &key), 0);
  ASSERT_EQ(key.SetDword(name, value), 0);
}

void RingwellTest::DeleteConfigValue(const std::string& name) {
  registry::Key key;
  ASSERT_EQ(registry::Key::Open(kConfigKey, &key), 0);
  key.DeleteValue(name);
}

void RingwellTest::DeleteConfigKey() { registry::DeleteKeyTree(kConfigKey); }

namespace {
constexpr std::uint32_t kOverrideCapabilities =
    (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);
}

PermissionsEnforced::PermissionsEnforced() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return;
  saved_[0] = data[0].effective;
  saved_[1] = data[1].effective;
  if ((data[0].effective & kOverrideCapabilities) == 0) return;
  data[0].effective &= ~kOverrideCapabilities;
  dropped_ = syscall(SYS_capset, &header, data) == 0;
}

PermissionsEnforced::~PermissionsEnforced() {
  if (!dropped_) return;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return;
  data[0].effective = saved_[0];
  data[1].effective = saved_[1];
  syscall(SYS_capset, &header, data);
}

std::vector<BrokenConfiguration> BrokenConfigurations(const std::string& registry_path,
                                                      const std::string& root) {
  // Settings may sit in any drop-in: a new value goes to one that wins over
  // all others, a removal to each in turn (only the one holding it succeeds).
  const auto set_config = [](const char* name, std::optional<registry::Value> value) {
    if (value) {
      const registry::DropInScope scope("zz-broken");
      registry::Edit([&](registry::Tree& tree) { tree.Set(kConfigKey, name, *value); });
      return;
    }
    for (const std::string& file : ListDir(registry::DropInDirectory())) {
      if (!file.ends_with(".toml")) continue;
      const registry::DropInScope scope(file.substr(0, file.size() - 5));
      registry::Edit([&](registry::Tree& tree) { tree.DeleteValue(kConfigKey, name); });
    }
  };
  return {
      {"no registry file",
       [=] {
         fs::remove(registry_path);
         fs::remove_all(registry::DropInDirectory());
       },
       registry_path},
      {"malformed TOML", [=] { WriteFile(registry_path, "[HKEY_LOCAL_MACHINE\nRootDir = 1\n"); },
       registry_path + ":1:"},
      {"no RootDir", [=] { set_config(kRootDirValue, std::nullopt); }, "RootDir"},
      {"missing subdirectory", [=] { fs::remove_all(root + "Reports"); }, root + "Reports"},
      {"read-only Inbox", [=] { fs::permissions(root + "Inbox", fs::perms(0555)); }, root + "Inbox",
       true},
      {"unregistered component",
       [] { fs::remove(registry::DropInDirectory() + "libtallier.toml"); }, "Tallier"},
      {"unknown audio format", [=] { set_config(kAudioFormatValue, std::uint32_t{40}); },
       "audio format 40"},
      {"unknown time zone", [=] { set_config("TimeZone", std::string("Europe/Berln")); },
       "\"Europe/Berln\""},
      {"setting out of range",
       [=] {
         WriteFile(registry_path,
                   "[HKEY_LOCAL_MACHINE.SOFTWARE.Corvane.Ringwell]\nMaxTextBytes = -5\n");
       },
       "MaxTextBytes = -5"},
      {"unknown switch", [] {}, "--bogus-switch", false, true},
  };
}

std::string BuildDir() {
  const char* env = std::getenv("RINGWELL_BUILD_DIR");
  return env != nullptr ? env : RINGWELL_BUILD_DIR;
}

std::string LibraryPath(const std::string& name) { return BuildDir() + "/lib/lib" + name + ".so"; }

std::string TestLibraryPath(const std::string& name) {
  return BuildDir() + "/lib/test/lib" + name + ".so";
}

std::string ProgramPath(const std::string& name) { return BuildDir() + "/bin/" + name; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string Snapshot(const std::string& dir, const std::vector<std::string>& except) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (std::find(except.begin(), except.end(), it->path().filename()) != except.end()) continue;
    const fs::file_status status = it->symlink_status(ec);
    std::ostringstream line;
    line << it->path().string() << " " << static_cast<int>(status.type()) << " " << std::oct
         << static_cast<unsigned>(status.permissions());
    if (status.type() == fs::file_type::regular) line << " [" << ReadFile(it->path()) << "]";
    lines.push_back(line.str());
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(path, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ringwell::testing
