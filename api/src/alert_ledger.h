// Which requests each alert group made: per route and groupKey, the requests
// of its last firing notification, the alerts they were about, and those
// that said it was resolved. A group that Alertmanager notifies again while
// its call is still going is not called again; a resolved notification finds
// the call to cancel.
//
// Each group is one small file below the storage root,
// Events/alert-groups/<hash>.json (the hash of route and groupKey; the file
// names both), written atomically and durably on every change, so a
// notification costs the same however many groups exist and no group is ever
// pushed out by others. Files untouched for 30 days are removed at start. A
// ledger of the earlier form (Events/alert-groups.json, one document) is
// taken over at start.
//
// Exactly once: SubmitOnce writes the group's entry (saying "not all made
// yet") before the first request is submitted and again with each request ID
// as it is made, so a notification that fails midway (the call made, the
// page not) and Alertmanager's retry of it make only what is missing.
//
// Several API instances on one storage root (`shared`): the lock of a group
// also holds the byte of the group's file in Events/alert-groups/.lock
// (DirectoryLock), and Find reads the group's file, so the check-then-submit
// of one notification is made by one instance at a time on what the others
// saved: a notification sent to two instances makes its calls once.
//
// Thread-safety: every method may be called from any thread. Lock(route, key)
// gives the caller one group for a whole check-then-submit; notifications of
// different groups never wait on each other.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ringwell/common/directory_lock.h"
#include "ringwell/common/thread_annotations.h"

namespace ringwell::api {

class AlertLedger {
 public:
  struct Group {
    std::vector<std::string> firing;    // request IDs of the last firing notification
    std::vector<std::string> resolved;  // request IDs that said it was resolved
    std::int64_t time_millis = 0;       // last change
    std::vector<std::string> alerts;    // fingerprints of the alerts called about
    bool firing_incomplete = false;     // not all of `firing` made yet
    bool resolved_incomplete = false;   // not all of `resolved` made yet
  };

  // The lock of one group, held while it is looked at and changed.
  class GroupLock {
   public:
    GroupLock(GroupLock&&) = default;
    ~GroupLock();

   private:
    friend class AlertLedger;
    struct Slot {
      std::mutex mutex;    // guards the group's file, no member
      unsigned users = 0;  // with the ledger's table_mutex_ held
    };
    GroupLock(AlertLedger* ledger, std::string key, std::shared_ptr<Slot> slot);
    AlertLedger* ledger_;
    std::string key_;
    std::shared_ptr<Slot> slot_;
    std::unique_lock<std::mutex> lock_;
    DirectoryLock file_lock_;  // on a shared root
  };

  // `path`: Events/alert-groups.json below the root; the groups are kept in
  // the directory of the same name without ".json".
  explicit AlertLedger(std::string path, bool shared = false);
  // Makes the directory, takes over a ledger of the earlier form and removes
  // groups untouched for 30 days; false with `problem` when something of it
  // cannot be done (the ledger still works as far as it can).
  bool Load(std::string* problem);

  GroupLock Lock(const std::string& route, const std::string& group_key);
  // The group, empty when unknown (its lock held).
  Group Find(const std::string& route, const std::string& group_key) const;
  // Replaces the group and saves it (its lock held). False when the file
  // cannot be written (the change is then kept in memory).
  bool Store(const std::string& route, const std::string& group_key, Group group);
  // The groups of `route` by groupKey, a copy (takes the lock itself).
  std::map<std::string, Group> GroupsOf(const std::string& route);

  // Makes the requests of one notification of the group (its lock held):
  // `parts[i]` submits the i-th and gives its ID; those already in
  // `group.firing` (or `group.resolved`) are not made again. The entry is
  // saved before the first submission and after each. False, with nothing
  // submitted, when the entry cannot be saved first; a part that throws
  // leaves the entry saying what was made, and the exception goes on.
  bool SubmitOnce(const std::string& route, const std::string& group_key, Group& group,
                  bool resolved, const std::vector<std::function<std::string()>>& parts);

 private:
  static std::string KeyOf(const std::string& route, const std::string& group_key);
  std::string PathOf(const std::string& key) const;

  const std::string legacy_path_;
  const std::string directory_;  // ends with "/"
  const bool shared_;
  mutable Mutex table_mutex_;
  std::map<std::string, std::shared_ptr<GroupLock::Slot>> slots_ RINGWELL_GUARDED_BY(table_mutex_);
  // changes whose file could not be written
  std::map<std::string, Group> unsaved_ RINGWELL_GUARDED_BY(table_mutex_);
};

}  // namespace ringwell::api
