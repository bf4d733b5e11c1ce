// The end of an entry's attempt in its queue, and of a finished request's
// files: DeleteRequestFiles removes a request's file and its directory of wav
// files from Requests; RequeueEntry puts an entry back for its next attempt;
// RemoveFinishedEntry removes a finished entry and, after the request's last
// one, the request's files; TakeNextOfRequest takes the next entry of the
// same request.
//
// Thread-safety: any worker. DeleteRequestFiles is called with the queue's
// lock held, so that the same file is not queued again while it is being
// removed; the other two take the lock themselves.
#pragma once

#include <functional>
#include <optional>
#include <stop_token>

#include "clock.h"
#include "queue_entry.h"

namespace ringwell::dialqueue {

class CRequestQueue;

// Deletes the request file (once more after 500 ms when that fails, a file
// that is already gone counting as deleted), every file in the clean-up
// directory, and the directory itself. Failures are ignored.
void DeleteRequestFiles(const CQueueEntry& entry, Clock& clock, const std::stop_token& stop);

// Puts an entry back for its next attempt (free again, at its new NextTime)
// in place of its taken copy.
void RequeueEntry(CRequestQueue& queue, const CQueueEntry& entry);

// Puts an entry whose attempt could not start (its "InProgress" could not be
// saved) back, due again a few seconds from `now`, no retry spent.
void DeferEntry(CRequestQueue& queue, CQueueEntry entry, OleDate now);

// The next entry of `ended`'s request, taken in the queue, when it is the
// first free entry of the queue and due at `now`: a line that has ended a
// call goes on with it at once. nullopt otherwise.
std::optional<CQueueEntry> TakeNextOfRequest(CRequestQueue& queue, const CQueueEntry& ended,
                                             OleDate now);

// Removes a finished entry. When it was the request's last entry, runs
// `before_delete` (which records the request's end in its report and tells
// whether the files may go: not while a result of the request waits to be
// booked) and then deletes the request's files, while still holding the queue lock, so that the
// file cannot be taken in again half deleted; a stop between the two leaves a
// finished report and a request file that the next intake clears away. True
// when it was the last.
bool RemoveFinishedEntry(CRequestQueue& queue, const CQueueEntry& entry, Clock& clock,
                         const std::stop_token& stop,
                         const std::function<bool()>& before_delete = {});

}  // namespace ringwell::dialqueue
