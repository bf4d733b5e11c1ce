// What the host tells in its heartbeat file (Status/ringwell-host.json, see
// ringwell/common/status_file.h): its lines, each busy with a call or idle,
// the SIP registration, the recipients due and waiting for a line or the
// pager (the scheduler's IDialqueueStatus), and the calls and pages made since
// it started, by result. Every simulated device says so ("simulated": true on
// its line, "pager": {"kind": "simulated"}), and a host without a pager says
// "pager": {"kind": "none"}, which the API and kel read to refuse pages. The lines and the pager
// are counted by wrappers the scheduler is given instead of the devices themselves: each passes
// every call on unchanged and notes the result's Status.
//
// Thread-safety: the wrappers are called on the scheduler's worker threads,
// Details on the heartbeat's thread; the counts are atomics or under a mutex.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ringwell/common/com.h"
#include "ringwell/common/thread_annotations.h"
#include "ringwell/dialqueue/dialqueue.h"

namespace ringwell::host {

class HostStatus {
 public:
  // A line the scheduler dials on: `modem` wrapped so that its calls are
  // counted; `kind` is "sim" or "sip".
  ComPtr<dialqueue::IModem> CountedModem(ComPtr<dialqueue::IModem> modem, int line,
                                         const std::string& kind);
  // The pager, counted the same way; `kind` is "simulated", "real" or
  // "none" (NoPager: every page fails). A pager of kind "none" is no line.
  ComPtr<dialqueue::IPager> CountedPager(ComPtr<dialqueue::IPager> pager, int line,
                                         const std::string& kind);
  // The scheduler whose queues are told (may stay unset).
  void SetScheduler(ComPtr<dialqueue::IDialqueueStatus> scheduler);
  // The SIP registration: a function giving {state, registrar, detail}.
  using Registration = std::function<std::string(std::string*, std::string*)>;
  void SetRegistration(Registration registration);

  nlohmann::json Details();

  // Whether a line is in a call playing from the directory `dir` (a call's
  // wav directory, with or without its trailing "/").
  bool Plays(std::string_view dir);

  // For the wrappers.
  struct Line {
    int line = 0;
    std::string kind;
    std::atomic<bool> busy{false};
  };
  void Count(const char* family, const std::string& result);
  void StartPlaying(std::string_view dir);
  void StopPlaying(std::string_view dir);

 private:
  Mutex mutex_;
  std::vector<std::shared_ptr<Line>> lines_ RINGWELL_GUARDED_BY(mutex_);
  nlohmann::json pager_ RINGWELL_GUARDED_BY(mutex_) = {{"kind", "none"}};
  std::map<std::string, std::map<std::string, std::uint64_t>> counters_ RINGWELL_GUARDED_BY(mutex_);
  // wav directories in calls now
  std::multiset<std::string, std::less<>> playing_ RINGWELL_GUARDED_BY(mutex_);
  ComPtr<dialqueue::IDialqueueStatus> scheduler_ RINGWELL_GUARDED_BY(mutex_);
  Registration registration_ RINGWELL_GUARDED_BY(mutex_);
};

}  // namespace ringwell::host
