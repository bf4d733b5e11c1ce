#include "alert_ledger.h"

#include <sodium.h>
#include <sys/stat.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::api {
namespace {

constexpr std::int64_t kLedgerKeepMillis = 30LL * 24 * 3600 * 1000;

std::int64_t LedgerNowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::vector<std::string> Ids(const nlohmann::json& value) {
  std::vector<std::string> ids;
  if (!value.is_array()) return ids;
  for (const auto& id : value) {
    if (id.is_string()) ids.push_back(id.get<std::string>());
  }
  return ids;
}

AlertLedger::Group GroupOf(const nlohmann::json& value) {
  AlertLedger::Group group;
  group.firing = Ids(value.value("firing", nlohmann::json()));
  group.resolved = Ids(value.value("resolved", nlohmann::json()));
  group.time_millis = value.value("time", std::int64_t{0});
  group.alerts = Ids(value.value("alerts", nlohmann::json()));
  group.firing_incomplete = value.value("firingIncomplete", false);
  group.resolved_incomplete = value.value("resolvedIncomplete", false);
  return group;
}

}  // namespace

AlertLedger::GroupLock::GroupLock(AlertLedger* ledger, std::string key, std::shared_ptr<Slot> slot)
    : ledger_(ledger), key_(std::move(key)), slot_(std::move(slot)), lock_(slot_->mutex) {}

AlertLedger::GroupLock::~GroupLock() {
  if (!slot_) return;  // moved from
  file_lock_.Release();
  lock_.unlock();
  MutexLock table(ledger_->table_mutex_);
  if (--slot_->users == 0) ledger_->slots_.erase(key_);
}

AlertLedger::AlertLedger(std::string path, bool shared)
    : legacy_path_(path),
      directory_((path.ends_with(".json") ? path.substr(0, path.size() - 5) : path + ".d") + "/"),
      shared_(shared) {}

std::string AlertLedger::KeyOf(const std::string& route, const std::string& group_key) {
  return route + ' ' + group_key;  // a route's name has no blank
}

std::string AlertLedger::PathOf(const std::string& key) const {
  unsigned char hash[16];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(key.data()),
                     key.size(), nullptr, 0);
  char hex[2 * sizeof hash + 1];
  sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
  return directory_ + hex + ".json";
}

bool AlertLedger::Load(std::string* problem) {
  const std::string directory = directory_.substr(0, directory_.size() - 1);
  if (!IsDirectory(directory) && Failed(MakeDirectory(directory, 0770)) &&
      !IsDirectory(directory)) {
    *problem = directory + " cannot be made";
    return false;
  }
  bool ok = true;
  // A ledger of the earlier form: each of its groups becomes a file (one
  // written since wins), then it goes.
  std::string text;
  if (Succeeded(ReadWholeFile(legacy_path_, &text))) {
    const auto document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_object()) {
      for (const auto& [key, value] : document.items()) {
        const std::size_t blank = key.find(' ');
        if (!value.is_object() || blank == std::string::npos) continue;
        const std::string path = PathOf(key);
        if (FileExists(path)) continue;
        nlohmann::json entry = value;
        entry["route"] = key.substr(0, blank);
        entry["groupKey"] = key.substr(blank + 1);
        ok = Succeeded(WriteFileAtomically(path, entry.dump() + "\n")) && ok;
      }
    }
    if (ok) RemoveFile(legacy_path_);
  }
  // Groups untouched for 30 days, by their files' times (nothing is read).
  std::vector<DirectoryEntry> entries;
  ListDirectory(directory, &entries);
  const std::int64_t now = LedgerNowMillis();
  for (const DirectoryEntry& entry : entries) {
    struct stat status {};
    const std::string path = directory_ + entry.name;
    // Hidden names (the lock file of a shared root) are not groups.
    if (entry.type == DirectoryEntry::Type::kFile && entry.name.front() != '.' &&
        Succeeded(LinkStatus(path, &status)) &&
        now - status.st_mtim.tv_sec * 1000LL > kLedgerKeepMillis) {
      RemoveFile(path);
    }
  }
  if (!ok) *problem = "the groups of " + legacy_path_ + " cannot all be written to " + directory;
  return ok;
}

AlertLedger::GroupLock AlertLedger::Lock(const std::string& route, const std::string& group_key) {
  const std::string key = KeyOf(route, group_key);
  std::shared_ptr<GroupLock::Slot> slot;
  {
    MutexLock table(table_mutex_);
    auto& known = slots_[key];
    if (!known) known = std::make_shared<GroupLock::Slot>();
    ++known->users;
    slot = known;
  }
  GroupLock lock(this, key, std::move(slot));
  if (shared_ && Failed(DirectoryLock::Acquire(PathOf(key), &lock.file_lock_))) {
    throw std::runtime_error("the lock of the alert group cannot be taken in " + directory_);
  }
  return lock;
}

AlertLedger::Group AlertLedger::Find(const std::string& route, const std::string& group_key) const {
  const std::string key = KeyOf(route, group_key);
  if (!shared_) {  // on a shared root, what is saved is what counts
    MutexLock table(table_mutex_);
    if (const auto unsaved = unsaved_.find(key); unsaved != unsaved_.end()) return unsaved->second;
  }
  std::string text;
  if (Failed(ReadWholeFile(PathOf(key), &text))) return {};
  const auto value = nlohmann::json::parse(text, nullptr, false);
  if (!value.is_object() || value.value("route", "") != route ||
      value.value("groupKey", "") != group_key) {
    return {};
  }
  return GroupOf(value);
}

bool AlertLedger::Store(const std::string& route, const std::string& group_key, Group group) {
  const std::string key = KeyOf(route, group_key);
  group.time_millis = LedgerNowMillis();
  const nlohmann::json entry = {{"route", route},
                                {"groupKey", group_key},
                                {"firing", group.firing},
                                {"resolved", group.resolved},
                                {"time", group.time_millis},
                                {"alerts", group.alerts},
                                {"firingIncomplete", group.firing_incomplete},
                                {"resolvedIncomplete", group.resolved_incomplete}};
  const bool saved = Succeeded(WriteFileAtomically(PathOf(key), entry.dump() + "\n"));
  MutexLock table(table_mutex_);
  if (saved) {
    unsaved_.erase(key);
  } else {
    unsaved_[key] = std::move(group);
  }
  return saved;
}

bool AlertLedger::SubmitOnce(const std::string& route, const std::string& group_key, Group& group,
                             bool resolved,
                             const std::vector<std::function<std::string()>>& parts) {
  std::vector<std::string>& ids = resolved ? group.resolved : group.firing;
  bool& incomplete = resolved ? group.resolved_incomplete : group.firing_incomplete;
  incomplete = true;
  if (!Store(route, group_key, group)) return false;
  for (std::size_t i = ids.size(); i < parts.size(); ++i) {
    ids.push_back(parts[i]());
    Store(route, group_key, group);
  }
  incomplete = false;
  Store(route, group_key, group);
  return true;
}

std::map<std::string, AlertLedger::Group> AlertLedger::GroupsOf(const std::string& route) {
  // A listing reads every group's file: it serves the console, not a hook.
  std::map<std::string, Group> groups;
  std::vector<DirectoryEntry> entries;
  ListDirectory(directory_.substr(0, directory_.size() - 1), &entries);
  for (const DirectoryEntry& entry : entries) {
    std::string text;
    if (entry.type != DirectoryEntry::Type::kFile || !entry.name.ends_with(".json") ||
        Failed(ReadWholeFile(directory_ + entry.name, &text))) {
      continue;
    }
    const auto value = nlohmann::json::parse(text, nullptr, false);
    if (!value.is_object() || value.value("route", "") != route) continue;
    groups.emplace(value.value("groupKey", ""), GroupOf(value));
  }
  const std::string prefix = KeyOf(route, "");
  MutexLock table(table_mutex_);
  for (const auto& [key, group] : unsaved_) {
    if (key.starts_with(prefix)) groups[key.substr(prefix.size())] = group;
  }
  return groups;
}

}  // namespace ringwell::api
