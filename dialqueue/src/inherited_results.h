// The report changes that other hosts sharing the storage root kept unbooked
// (unbooked_results.h): a host that is gone cannot book them any more, so the
// host that takes a share of the request in, finishes it, or finds the store
// on its booking thread's pass does. It holds the gone host's store lock
// while it books, so no two hosts book one store, and books only what the
// report does not hold yet (ReportHistory::Holds): a host that stops between
// booking a store and removing it leaves nothing to book twice. A store is
// removed once all of it is booked. The changes a live host keeps are its
// own to book; a reader of the report counts them as booked.
//
// Thread-safety: any thread that may update reports (no queue lock needed,
// none taken); hosts exclude each other through the store locks.
#pragma once

#include <stop_token>
#include <string>
#include <vector>

#include "report_steps.h"
#include "scheduler_state.h"
#include "unbooked_results.h"

namespace ringwell::dialqueue {

// Books what hosts that are gone kept of `request_file`. True when no other
// host keeps anything of it now. The changes still kept (by live hosts, or
// that could not be booked now) are added to *waiting when given. Does
// nothing on a storage root of one host.
bool BookOtherHostsResults(SchedulerState& state, const ReportSteps& steps,
                           const std::string& request_file,
                           std::vector<KeptChange>* waiting = nullptr);

// Books every store of every host that is gone; the requests whose stores
// were booked whole (their files may be due to go).
std::vector<KeptRequest> BookGoneHostsResults(SchedulerState& state, const std::stop_token& stop);

}  // namespace ringwell::dialqueue
