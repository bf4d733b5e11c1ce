// Which requests each alert group made: per route and groupKey, the requests
// of its last firing notification, the alerts they were about, and those
// that said it was resolved. A
// group that Alertmanager notifies again while its call is still going is
// not called again; a resolved notification finds the call to cancel.
//
// Kept in Events/alert-groups.json below the storage root (rewritten
// atomically after each change, read at start), so a restart of the API
// neither calls a group twice nor forgets what to cancel. Groups untouched
// for 30 days are dropped, and at most 10,000 are kept (the oldest go first).
//
// Thread-safety: every method may be called from any thread; Lock() gives
// the caller the ledger for a whole check-then-submit.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ringwell::api {

class AlertLedger {
 public:
  struct Group {
    std::vector<std::string> firing;    // request IDs of the last firing notification
    std::vector<std::string> resolved;  // request IDs that said it was resolved
    std::int64_t time_millis = 0;       // last change
    std::vector<std::string> alerts;    // fingerprints of the alerts called about
  };

  explicit AlertLedger(std::string path);
  // Reads the file; a missing or unreadable one is an empty ledger (false
  // with `problem` for one that cannot be read).
  bool Load(std::string* problem);

  // Held by the caller while it looks at a group and changes it.
  std::unique_lock<std::mutex> Lock() { return std::unique_lock(mutex_); }
  // The group, empty when unknown (the lock held).
  Group Find(const std::string& route, const std::string& group_key) const;
  // Replaces the group and saves the ledger (the lock held). False when the
  // file cannot be written (the change is kept in memory).
  bool Store(const std::string& route, const std::string& group_key, Group group);
  // The groups of `route` by groupKey, a copy (takes the lock itself).
  std::map<std::string, Group> GroupsOf(const std::string& route);

 private:
  static std::string KeyOf(const std::string& route, const std::string& group_key);
  bool Save();

  const std::string path_;
  std::mutex mutex_;
  std::map<std::string, Group> groups_;
};

}  // namespace ringwell::api
