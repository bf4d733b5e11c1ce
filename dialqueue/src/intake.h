// The intake of a scheduled request file: one queue entry per recipient,
// pushed onto the dial queue (call requests) or the page queue (requests of
// type "Page"), going on from what the request's report says of the attempts
// already made.
//
// Thread-safety: may run beside the workers and beside the intake of other
// files; the same file must not be taken in from two threads at once.
#pragma once

#include <string>

#include "ringwell/common/hresult.h"
#include "scheduler_state.h"

namespace ringwell::dialqueue {

// Queues the recipients of the request file at `path`. S_FALSE when the file
// cannot be loaded as XML; S_OK when its entries were queued, when the request
// is queued already (nothing is read then), or when the file vanished meanwhile.
// A request that cannot be read (no "ID", no "StartTime" or "StopTime", no
// recipient container, a recipient value that does not convert) throws
// ComError; the recipients read before the failure are queued.
//
// The request's report says where a restarted host goes on from
// (report_history.h): recipients that are done are not queued again, an
// attempt that was in progress is recorded as interrupted and counts under the
// error rule, and the retries the recorded attempts spent are gone. A request
// whose recipients are all done is finished at once ("Completed", files
// deleted). Results a stopped host kept unbooked (Requests/ID.unbooked) are
// booked first, or read as if they were; with hosts sharing the storage root,
// so are those other hosts keep (inherited_results.h). A request whose report cannot be
// read now (Reports/ gone, a link in its place) queues nothing: it is logged
// once and taken in again later by the scheduler object's booking thread.
//
// With `slice`, only the recipients of that share are queued (hosts sharing
// one storage root, share_owner.h): the report is read for the whole request,
// but only the share's attempts are resumed and booked, and the request is
// taken in even when other shares of it are queued already. `outcome`, when
// given, says how many entries were queued and whether the report could not
// be read now.
struct ShareSlice {
  std::int32_t index = 0;  // recipient i (counting those with a number) is in share i % count
  std::int32_t count = 1;
};
struct IntakeOutcome {
  std::size_t queued = 0;
  bool later = false;  // the report could not be read: nothing was queued
};
HRESULT QueueRequestFile(const std::string& path, SchedulerState& state,
                         const ShareSlice* slice = nullptr, IntakeOutcome* outcome = nullptr);

}  // namespace ringwell::dialqueue
