// What a request's report says about the attempts already made, read when a
// request file is taken in: after a restart of the host the scheduler goes on
// from there instead of starting every recipient afresh.
//
// A recipient whose status is final (anything but "", "Processing",
// "Scheduled" and "InProgress") is done. One left "InProgress" was in a call
// when the scheduler stopped: that call counts as a failed attempt, recorded
// in the report as an interrupted call. The calls already in the report spend
// the retries they led to, so a restart grants no fresh ones.
//
// Thread-safety: a value, used by the thread that takes the request in.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "queue_entry.h"
#include "unbooked_results.h"

namespace ringwell::dialqueue {

// True for the statuses that end a recipient's attempts.
bool IsFinalStatus(std::string_view status);

// The call result that stands for an attempt interrupted at `time`.
std::string InterruptedCallXml(OleDate time);

class ReportHistory {
 public:
  struct Call {
    std::string answer, status;
    std::optional<OleDate> time;
  };
  struct Recipient {
    std::string status;
    std::vector<Call> calls;
  };

  // What the report at `path` holds; nullopt when it does not load.
  static std::optional<ReportHistory> Read(const std::string& path);

  // The next sub-report, in report order, whose Recipient without surrounding
  // blanks is `number`; nullopt when none is left.
  std::optional<Recipient> Next(std::string_view number);
  // Reads a change that is not in the report yet as if it were: a status
  // (of the request for an empty number) or a call result.
  void Apply(const KeptChange& change);
  // For each of `changes` (kept by a host, in their order): whether the
  // report holds it already, booked by a host that stopped before it could
  // forget it. A call result is held when its recipient has a call of the same
  // time, status and answer (each call stands for one kept result); the
  // status after it goes with it. A status on its own is held when the
  // recipient's status is that one, or final while the status is final too;
  // the request's status when the report's is that one.
  std::vector<bool> Holds(const std::vector<KeptChange>& changes) const;
  // The report's own status.
  const std::string& status() const { return status_; }
  // True when the report has recipients and every one has a final status.
  bool AllFinal() const;

 private:
  std::string status_;
  std::map<std::string, std::deque<Recipient>, std::less<>> by_number_;
};

// What resuming an entry from its history comes to.
struct Resumption {
  bool finished = false;         // no attempt is left to make
  std::string status;            // the recipient's status to record ("" for none)
  std::string interrupted_call;  // a call result to record first ("" for none)
};

// Replays the recorded attempts of `entry` (its counts go down by the retries
// they spent, its next attempt is due after the last one's delay); `now` is
// the time of an interrupted attempt.
Resumption Resume(const ReportHistory::Recipient& past, CQueueEntry& entry, bool page, OleDate now);

}  // namespace ringwell::dialqueue
