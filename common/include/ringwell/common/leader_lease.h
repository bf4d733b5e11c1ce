// Leases on a shared storage root: how the programs of several boxes that
// mount one storage root (GlusterFS, NFSv4.1+, CephFS) agree who does what,
// through the lock manager of the file server and nothing of their own.
//
// A holder owns something while it holds a write lock on one byte of a lock
// file below the root, taken with F_OFD_SETLK (never waiting) on a
// descriptor it keeps open: the file server keeps the lock while the holder's
// process lives and its mount renews its lease, and lets it go when the
// process dies (its descriptors close) or the box is cut off (the lease runs
// out). A holder that is cut off must stop on its own before another can take
// over: a probe writes and syncs a file of its own every eighth of the lease,
// and a watchdog that touches no file sees when the last good probe is older
// than half the lease (LeaseProbe).
//
// LeaderLease is the whole of it for one role that one process of all boxes
// plays at a time (prepax's Inbox, the API's timers and callbacks): a thread
// tries the lock every so often while it is not held and probes all along,
// and the watchdog drops the leadership when the probes stop succeeding. A
// dropped lock is released (its descriptor closed) by the trying thread, so
// the watchdog never waits on the file system; the leadership is taken again,
// through the lock, once a probe succeeds.
//
// Thread-safety: LeaseProbe's Probe belongs to one thread, Fresh to any.
// LeaderLease's Held, Start and Stop may be called from any thread; the
// callbacks run on the lease's own threads and must not block for long.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "ringwell/common/directory_lock.h"  // SetByteLock
#include "ringwell/common/unique_fd.h"

namespace ringwell {

// SharedRoot (1: several boxes share the storage root), LeaseSeconds (the
// file server's lease; 0 or missing: 42, GlusterFS's default ping timeout)
// and HostId (this box's name; missing: the host name) of the registry's
// main key.
struct SharedRootSettings {
  bool on = false;
  std::uint32_t lease_seconds = 42;
  std::string host_id;
};
SharedRootSettings ReadSharedRootSettings();
// The machine's host name when it is a plain name, else "host".
std::string MachineHostId();

// A thread that runs `step` every `interval` until it is stopped.
std::jthread RunEvery(std::chrono::milliseconds interval, std::function<void()> step);

// The renewal of a lease as the holder sees it: Probe writes and syncs
// `path` (opened once, never through a link); Fresh says whether the last
// good probe is at most half the lease old. A new object counts as probed.
class LeaseProbe {
 public:
  LeaseProbe(std::string path, std::chrono::milliseconds lease);
  bool Probe();
  bool Fresh() const;
  // How often to probe: an eighth of the lease, at least 100 ms.
  std::chrono::milliseconds interval() const;
  std::chrono::milliseconds lease() const { return lease_; }

 private:
  const std::string path_;
  const std::chrono::milliseconds lease_;
  std::atomic<std::int64_t> last_;  // steady clock, nanoseconds
  UniqueFd fd_;
};

class LeaderLease {
 public:
  struct Settings {
    std::string lock_file;    // below the root; made when missing
    std::int64_t offset = 0;  // the role's byte
    std::string probe_file;   // this holder's own file below the root
    std::chrono::milliseconds lease{42'000};
    std::chrono::milliseconds retry{500};  // between tries while not held
  };

  LeaderLease(Settings settings, std::function<void()> on_gain = {},
              std::function<void()> on_loss = {});
  // Stops; the lock goes with the descriptor.
  ~LeaderLease();
  LeaderLease(const LeaderLease&) = delete;
  LeaderLease& operator=(const LeaderLease&) = delete;

  // Starts the trying/probing thread and the watchdog. Throws std::system_error.
  void Start();
  // Stops both threads and lets the lock go (on_loss runs when it was held).
  void Stop();
  // Whether this holder leads now.
  bool Held() const { return held_; }
  // How many times the lead was gained (a new term may follow another
  // holder's work, so what is kept in memory is read again).
  std::uint64_t Term() const { return term_; }
  // One round of the trying thread and one look of the watchdog (for tests
  // that drive the lease without its threads).
  void Round();
  void Watch();

 private:
  const Settings settings_;
  const std::function<void()> on_gain_, on_loss_;
  LeaseProbe probe_;
  std::atomic<bool> held_{false};
  std::atomic<std::uint64_t> term_{0};
  // the term the watchdog dropped, whose descriptor the trying thread closes
  std::atomic<std::uint64_t> dropped_{0};
  UniqueFd lock_;                // the trying thread's, with the term it holds
  std::uint64_t lock_term_ = 0;  // the trying thread's
  std::chrono::steady_clock::time_point next_probe_{};  // the trying thread's
  std::jthread rounds_, watchdog_;
};

// The roles of the root's lease file: ROOT.leases, one byte per role, and
// the probe file ROOT.alive-ROLE-HOST of each holder.
inline constexpr std::int64_t kPrepaxLeaseByte = 1;  // prepax's Inbox
inline constexpr std::int64_t kApiLeaseByte = 2;     // the API's timers and callbacks
// `root` ends with "/"; `role` is a plain name.
LeaderLease::Settings RoleLease(const std::string& root, const std::string& role,
                                std::int64_t offset, const SharedRootSettings& shared);

}  // namespace ringwell
