// ShareOwner: how one host takes its part of the work when several hosts
// share one storage root (a GlusterFS, NFSv4.1+ or CephFS volume mounted on
// every host), instead of calling every recipient of every request itself.
//
// A request's recipients are cut into shares: recipient i (counting those
// with a number, in request order) belongs to share i % shares. The host owns
// a share while it holds a write lock on one byte of Requests/.owners, at an
// offset made from the request ID and the share number, taken with
// F_OFD_SETLK (never waiting) on a descriptor it keeps open. The file server
// keeps that lock as long as the host lives and renews its lease; when the
// host dies, the lock goes and another host can take the share.
//
// Every pass (twice a second) the owner
//   - lets go of the shares whose entries have all left the queues (done),
//     and of those of requests whose file is gone;
//   - drops queued entries of shares it does not own (any left after a
//     fence, see below);
//   - while the host has room (fewer due calls than twice its free lines;
//     fewer than ten due pages), tries to lock the shares it neither owns nor
//     saw done, and takes each one it locks in exactly as a restarted host
//     takes a request in (intake.h): final recipients are left out, one left
//     "InProgress" was in a call when its host died and is booked once as an
//     interrupted attempt.
// A probe thread writes and syncs Requests/.alive-HOST every eighth of the
// lease; a watchdog that touches no file sees when the last successful probe
// is older than half the lease: the host then fences itself. It stops
// dialling (its untaken entries leave the queues), hangs up its calls in
// progress (another host will call those recipients again once the lease
// runs out, and a callee must not hear the message twice at once) and books
// nothing of them: the next owner of their shares books each "InProgress"
// recipient once as an interrupted attempt. The next pass lets every share
// go. Once a probe succeeds again and the last fenced call has ended, shares
// are taken afresh, each through its lock.
//
// A request is "Completed" by whichever host sees every recipient final in
// the report while holding the request's completion byte of Requests/.owners
// (so one host books it, and the others find it booked).
//
// Thread-safety: Know, SetLines, Finish, EnterCall, LeaveCall and the
// accessors may be called from any thread; Pass runs on the owner's thread
// (or a test's, when the owner was not started).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "queue_entry.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/unique_fd.h"

namespace ringwell::dialqueue {

class SchedulerState;

struct ShareSettings {
  std::string requests_dir;  // the shared Requests directory, ending with "/"
  std::string host_id;       // plain name of this host (its probe file's name)
  std::chrono::milliseconds lease{42'000};
  std::int32_t shares = 64;  // per request; 1 to kMaxShares
  std::chrono::milliseconds pass_interval{500};
};

class ShareOwner {
 public:
  static constexpr std::int32_t kMaxShares = 126;

  // `state` must outlive the object. Nothing runs before Start.
  ShareOwner(SchedulerState& state, ShareSettings settings);
  // Stops the threads and lets every share go.
  ~ShareOwner();
  // Stops and joins the threads (Finish may still be called).
  void Stop();
  ShareOwner(const ShareOwner&) = delete;
  ShareOwner& operator=(const ShareOwner&) = delete;

  // Starts the pass, probe and watchdog threads. Throws std::system_error.
  void Start();

  // A request file seen in Requests (handing one over again is harmless).
  void Know(const std::string& request_file);
  // The number of modem lines the host has.
  void SetLines(std::size_t lines) { lines_ = lines; }

  // One pass as described above.
  void Pass();
  // One probe: true when the probe file was written and synced.
  bool Probe();
  // The watchdog's look: fences the host when the last probe is too old,
  // and hangs up the lines still in a call the fence cut (again at every
  // look: a call may have started just as the host fenced itself).
  void Watch();

  // A modem line's call, from before its start is booked until its result
  // is. EnterCall registers it with the way to hang it up (may be empty);
  // false when the host is fenced: the line places no call and books
  // nothing. LeaveCall ends the registration; false when a fence cut the
  // call: its result must not be booked.
  bool EnterCall(std::int32_t line, std::function<void()> hang_up);
  bool LeaveCall(std::int32_t line);

  // Decides the request's end once for all hosts: under the request's
  // completion byte, reads its report; when it says "Completed" already,
  // true (the files may go); when every recipient is final, runs `book`
  // (which books "Completed") and gives true; otherwise false.
  bool Finish(const CQueueEntry& entry, const std::function<void()>& book);

  // How many shares this host owns now, and of which requests (for tests).
  std::size_t OwnedCount() const { return owned_count_; }
  bool Fenced() const { return fenced_; }

  // The byte of Requests/.owners that stands for `share` of request `id`
  // (IDs compare ignoring case); share kMaxShares + 1 is the request's
  // completion byte.
  static std::int64_t OffsetFor(std::string_view id, std::int32_t share);

 private:
  struct Request {
    std::string path, id;
    bool page = false;
    std::set<std::int32_t> owned, done;
  };

  struct Call {
    std::function<void()> hang_up;
    bool cut = false;  // a fence came during the call
  };

  bool Fresh() const;
  void Fence();
  void HangUpCutCalls();
  // No call is in progress and no entry queued: a fenced host may take
  // shares again without mixing old calls with new ones.
  bool Drained();
  bool HasRoom(bool page) const;
  int OwnersFd();
  bool TryLock(std::int64_t offset);
  void Unlock(std::int64_t offset);
  void LetAllGo();
  void LetGoOf(Request& request, std::int32_t share);
  // Drops the untaken entries for which `drop` holds from both queues.
  void DropEntries(const std::function<bool(const CQueueEntry&)>& drop);
  void TakeShares(Request& request);

  SchedulerState& state_;
  const ShareSettings settings_;
  std::atomic<std::size_t> lines_{0};
  std::atomic<std::size_t> owned_count_{0};
  std::atomic<bool> fenced_{false};
  LeaseProbe probe_;  // probed by the probe thread only

  std::mutex calls_mutex_;
  std::map<std::int32_t, Call> calls_;  // by line; guarded by calls_mutex_

  std::mutex known_mutex_;
  std::vector<std::string> arrived_;  // guarded by known_mutex_
  std::set<std::string> known_;       // guarded by known_mutex_

  // Used by the pass thread only.
  std::map<std::string, Request> requests_;  // by path
  UniqueFd owners_;

  std::jthread passes_, probes_, watchdog_;
};

}  // namespace ringwell::dialqueue
