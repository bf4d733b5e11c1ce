#include "alert_ledger.h"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::api {
namespace {

constexpr std::int64_t kLedgerKeepMillis = 30LL * 24 * 3600 * 1000;
constexpr std::size_t kMaxGroups = 10000;

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

}  // namespace

AlertLedger::AlertLedger(std::string path) : path_(std::move(path)) {}

std::string AlertLedger::KeyOf(const std::string& route, const std::string& group_key) {
  return route + ' ' + group_key;  // a route's name has no blank
}

bool AlertLedger::Load(std::string* problem) {
  std::lock_guard lock(mutex_);
  groups_.clear();
  std::string text;
  if (const HRESULT hr = ReadWholeFile(path_, &text); Failed(hr)) {
    if (!FileExists(path_)) return true;
    *problem = path_ + " cannot be read: " + ErrorText(hr);
    return false;
  }
  const auto document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_object()) {
    *problem = path_ + " is not a JSON object; it is started again empty";
    return false;
  }
  for (const auto& [key, value] : document.items()) {
    if (!value.is_object()) continue;
    groups_[key] = {Ids(value.value("firing", nlohmann::json())),
                    Ids(value.value("resolved", nlohmann::json())),
                    value.value("time", std::int64_t{0}),
                    Ids(value.value("alerts", nlohmann::json()))};
  }
  return true;
}

AlertLedger::Group AlertLedger::Find(const std::string& route, const std::string& group_key) const {
  const auto found = groups_.find(KeyOf(route, group_key));
  return found == groups_.end() ? Group{} : found->second;
}

bool AlertLedger::Store(const std::string& route, const std::string& group_key, Group group) {
  const std::int64_t now = LedgerNowMillis();
  group.time_millis = now;
  groups_[KeyOf(route, group_key)] = std::move(group);
  std::erase_if(groups_, [now](const auto& entry) {
    return now - entry.second.time_millis > kLedgerKeepMillis;
  });
  while (groups_.size() > kMaxGroups) {
    groups_.erase(std::min_element(
        groups_.begin(), groups_.end(),
        [](const auto& a, const auto& b) { return a.second.time_millis < b.second.time_millis; }));
  }
  return Save();
}

bool AlertLedger::Save() {
  nlohmann::json document = nlohmann::json::object();
  for (const auto& [key, group] : groups_) {
    document[key] = {{"firing", group.firing},
                     {"resolved", group.resolved},
                     {"time", group.time_millis},
                     {"alerts", group.alerts}};
  }
  return Succeeded(WriteFileAtomically(path_, document.dump() + "\n"));
}

std::map<std::string, AlertLedger::Group> AlertLedger::GroupsOf(const std::string& route) {
  std::lock_guard lock(mutex_);
  std::map<std::string, Group> groups;
  const std::string prefix = KeyOf(route, "");
  for (auto it = groups_.lower_bound(prefix); it != groups_.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    groups.emplace(it->first.substr(prefix.size()), it->second);
  }
  return groups;
}

}  // namespace ringwell::api
