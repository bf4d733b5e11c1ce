// The report updates the workers and the intake make through the report
// generator. A failure is written to the event log as "Error in %1: %2." with
// the operation name, about the report.
//
// No call result is lost while the report cannot be written (the Reports
// directory is gone or read-only, its lock file or the report is a link): the
// start of an attempt ("InProgress") must be saved before the line may call;
// the end of an attempt and a request's "Completed" are booked, or else kept
// (UnbookedResults) and booked later, in order, before anything else of the
// request. A request with changes kept is not finished: its files go once they
// are booked. With hosts sharing the storage root, a request is not
// "Completed", nor are its files deleted, while another host keeps changes of
// it: those of a host that is gone are booked first (inherited_results.h).
// A change the report generator refuses for its content, or one
// for a report that no longer exists in a sound Reports directory, is not
// kept: it can never be booked. A report that vanished while its request
// file is still there (Reports/ removed and made again) is made again from the
// request file, and what the host holds of the request (the changes it books
// or keeps) goes into it; until Reports/ exists again, they are kept.
//
// The start of an attempt (the recipient and the request "InProgress") and its
// end (the call result with the recipient's new status) are each one update
// of the report when the report generator offers ITallierChanges, so that a
// stop at any moment leaves either both changes or neither.
//
// Thread-safety: any worker thread; the report generator accepts concurrent
// calls. Finish may be called with a queue lock held; BookWaiting and
// RetryUnbooked must not be.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "queue_entry.h"
#include "scheduler_state.h"
#include "unbooked_results.h"

namespace ringwell::dialqueue {

class ReportSteps {
 public:
  // `operation` names the method in event-log entries; it must outlive the
  // object. `page`: the steps are about page requests.
  ReportSteps(SchedulerState& state, std::string_view operation, bool page = false)
      : state_(state), operation_(operation), page_(page) {}

  // The recipient and the request "InProgress", after what waits of the
  // request. True when they are saved: only then may the line call.
  bool StartAttempt(const CQueueEntry& entry) const;
  // The call result (none when `result` is empty), then the recipient's
  // status: booked, or kept until they can be.
  void EndAttempt(const CQueueEntry& entry, const std::string& result,
                  const std::string& status) const;
  // The end of `ended`'s attempt, as EndAttempt books it, and the start of
  // `next`'s, a recipient of the same request, in one update of the report:
  // a line going on to the request's next recipient waits for one save, not
  // two. True when the start is saved (only then may the line call `next`);
  // the end is booked, or else kept, either way.
  bool EndAndStart(const CQueueEntry& ended, const std::string& result, const std::string& status,
                   const CQueueEntry& next) const;
  // The request's last recipient is done: books "Completed" when `completed`.
  // True when nothing of the request waits, so its files may go now; else they
  // go once what waits is booked.
  bool Finish(const CQueueEntry& entry, bool completed) const;
  // Books what waits for the request file; true when nothing is left.
  // *finish tells whether the request's files should go now.
  bool BookWaiting(const std::string& request_file, bool* finish = nullptr) const;
  // Books those of `changes` (kept by a host, in order) that the report does
  // not hold yet (ReportHistory::Holds; all of them when it cannot be read);
  // the number of leading changes that are done.
  std::size_t BookUnlessHeld(const std::string& request_file,
                             const std::vector<KeptChange>& changes, bool quiet = true) const;

 private:
  // Applies `changes` to the report of `request_file`; the number of
  // leading changes that are done (booked, or refused for good).
  std::size_t Apply(const std::string& request_file, const std::vector<KeptChange>& changes,
                    bool quiet = false) const;
  // One try of Apply; *recreated (when given) is set when a change failed on
  // a vanished report that was made again (here, or by another line since
  // `recreations` reports had been made again).
  std::size_t ApplyOnce(const std::string& request_file, const std::vector<KeptChange>& changes,
                        bool quiet, bool* recreated, std::uint64_t recreations) const;
  // Makes the report of `request_file` again when it is gone from a sound
  // Reports directory while the request file is still there: from the
  // request file, with the request's record. True when the report exists
  // again (made here or by another line meanwhile).
  bool RecreateVanishedReport(const std::string& request_file) const;
  // Books `changes` after what waits; true when done. When not, and `keep`,
  // they are kept.
  bool Book(const CQueueEntry& entry, std::vector<KeptChange> changes, bool keep) const;
  bool BookWaitingLocked(const std::string& request_file, bool* finish, bool quiet) const;
  void Keep(const CQueueEntry& entry, const std::vector<KeptChange>& changes, bool finish) const;
  void LogError(const std::string& report, std::string_view text) const;

  SchedulerState& state_;
  std::string_view operation_;
  bool page_;
};

// True when `report` does not exist while its Reports directory is sound: no
// change can ever be booked in it.
bool ReportGoneForGood(const std::string& report);

// Books what waits for every request and deletes the files of the requests
// that were waiting only for that (and are no longer queued). With hosts
// sharing the storage root, it also books what hosts that are gone kept
// (inherited_results.h), and a request whose kept changes are all booked now
// and of which this host queues nothing is finished when its report says so
// (share_owner.h); kept changes there never decide alone that files go.
void RetryUnbooked(SchedulerState& state, const std::stop_token& stop);

}  // namespace ringwell::dialqueue
