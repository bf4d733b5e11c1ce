// The report changes of requests that could not be booked (the Reports
// directory, its lock file or the report could not be written), kept until the
// report takes them. They are held in memory and saved, whenever they change,
// beside the request file as Requests/ID.unbooked (an XML list of changes, saved
// atomically through the safe file functions), where the intake of the request
// file after a restart of the host finds them again.
//
// Hosts sharing one storage root (share_owner.h) would overwrite each other's
// Requests/ID.unbooked, and a host that dies takes its memory with it: there,
// each host keeps its changes in a store of its own, the hidden directory
// Requests/.unbooked/HOST/ (ID.unbooked per request). A hidden name is never
// taken for a request file, a request's audio or a leftover of prepax, and one
// directory per host needs no name parsing (a host name may hold dots). The
// host holds a write lock on Requests/.unbooked/HOST/.lock (an open file
// description lock, taken never waiting) for as long as it lives: another host
// that gets that lock knows the store's host is gone and books its changes
// (inherited_results.h). A host that cannot take its own lock yet (another
// host is booking what it kept before a restart) keeps its changes in memory
// until it can; taking it, it reads in what its earlier life left.
//
// A request with changes kept is never finished: "finish" marks a request
// whose last recipient is done, whose files go once its changes are booked.
//
// Thread-safety: every method may be called from any thread; each takes the
// store's lock for its own span (never across a report update). MutexFor gives
// the lock that orders the bookings of one request.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ringwell/common/thread_annotations.h"
#include "ringwell/common/unique_fd.h"
#include "ringwell/tallier/tallier.h"

namespace ringwell::dialqueue {

struct KeptChange {
  tallier::ReportChange::Kind kind = tallier::ReportChange::kStatus;
  std::string recipient;
  std::string text;
};

// What waits for one request.
struct KeptRequest {
  std::string request_file;
  std::string id;
  bool page = false;
  bool finish = false;  // the request's files go once its changes are booked
  std::vector<KeptChange> changes;
};

// A store that another host keeps below the shared root.
struct OtherStore {
  std::string host, path, request_file;
};

class UnbookedResults {
 public:
  // Requests/ID.xml -> Requests/ID.unbooked.
  static std::string StorePathOf(const std::string& request_file);
  // What the store file at `path` holds for `request_file`; nullopt when it
  // does not load.
  static std::optional<KeptRequest> ReadStoreFile(const std::string& request_file,
                                                  const std::string& path);

  // Hosts share the storage root: this host, `host_id`, keeps its changes
  // below `requests_dir` (ending with "/") as described above, and takes its
  // store's lock. The first host named stays (later calls only try the lock
  // again).
  void ShareRoot(const std::string& requests_dir, const std::string& host_id);
  bool Shared() const;
  // Takes this host's store lock when it is not held yet (then reads in what
  // the store holds and saves what waits in memory); true when held.
  bool TakeOwnStore();
  // Where the changes of `request_file` are kept: Requests/ID.unbooked, or
  // this host's store below a shared root.
  std::string PathOf(const std::string& request_file) const;
  // The stores other hosts keep of `request_file` (of every request when it
  // is empty); this host's own store is among them while its lock is not held.
  std::vector<OtherStore> OtherStores(const std::string& request_file = {}) const;
  // Takes the store lock of `host` never waiting: a descriptor holding it, or
  // an empty one when the host (or a host booking its store) holds it.
  UniqueFd TryLockHost(const std::string& host) const;

  // Reads what a request file's store holds (after a restart); true when it
  // holds anything.
  bool Recover(const std::string& request_file);
  // True when something of the request waits.
  bool Has(const std::string& request_file) const;
  // A copy of what waits; nullopt when nothing.
  std::optional<KeptRequest> Get(const std::string& request_file) const;
  // The request files with something waiting.
  std::vector<std::string> Waiting() const;

  // Adds `changes` (and the finish mark when `finish`) to what waits for
  // `request`, and saves. Returns the save's status.
  HRESULT Keep(const KeptRequest& request, const std::vector<KeptChange>& changes, bool finish);
  // Drops the first `count` changes, booked meanwhile; removes the store file
  // when none is left. Returns whether the request was marked to finish and
  // nothing is left of it (the mark is then gone too).
  bool Booked(const std::string& request_file, std::size_t count);

  // A request file whose report could not be read at its intake: it is taken
  // in again later (DeferredIntakes), instead of being started afresh, until
  // IntakeDone. DeferIntake is true when the file was not deferred yet.
  bool DeferIntake(const std::string& request_file);
  void IntakeDone(const std::string& request_file);
  std::vector<std::string> DeferredIntakes() const;

  // The lock that orders the bookings of one request (held across a report
  // update; never take a queue lock while holding it). Requests share a few
  // such locks.
  std::mutex& MutexFor(const std::string& request_file);

 private:
  HRESULT SaveLocked(const KeptRequest& request) const RINGWELL_REQUIRES(mutex_);
  std::string PathOfLocked(const std::string& request_file) const RINGWELL_REQUIRES(mutex_);
  bool TakeOwnStoreLocked() RINGWELL_REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::string requests_dir_ RINGWELL_GUARDED_BY(mutex_);  // empty: not shared
  std::string host_id_ RINGWELL_GUARDED_BY(mutex_);
  UniqueFd own_lock_ RINGWELL_GUARDED_BY(mutex_);
  std::map<std::string, KeptRequest> waiting_ RINGWELL_GUARDED_BY(mutex_);
  std::set<std::string> deferred_intakes_ RINGWELL_GUARDED_BY(mutex_);
  // Guard no member: each orders the report updates of the requests it serves.
  std::array<std::mutex, 32> booking_locks_;
};

}  // namespace ringwell::dialqueue
