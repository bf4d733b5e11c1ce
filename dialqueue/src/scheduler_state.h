// The state every scheduler object and worker of the process shares: the dial
// queue, the page queue, the line registry, the report changes waiting to be
// booked, the request texts the lines hand their devices, the report generator
// and the clock. ProcessState() is the one instance of the loaded
// module; tests make their own.
//
// Thread-safety: the queues and the registry lock themselves; the report
// generator pointer is read and replaced under the state's own lock, and
// callers work on the copy they got (which keeps the object alive). The clock
// is set when the state is made.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "clock.h"
#include "line_registry.h"
#include "request_queue.h"
#include "request_texts.h"
#include "ringwell/common/com_ptr.h"
#include "ringwell/common/thread_annotations.h"
#include "ringwell/tallier/tallier.h"
#include "unbooked_results.h"

namespace ringwell::dialqueue {

class ShareOwner;

class SchedulerState {
 public:
  SchedulerState() : clock_(SystemClock()) {}
  explicit SchedulerState(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

  CRequestQueue& dial_queue() { return dial_queue_; }
  CRequestQueue& page_queue() { return page_queue_; }
  CLineRegistry& lines() { return lines_; }
  // The report changes that wait until their report can be written.
  UnbookedResults& unbooked() { return unbooked_; }
  // The texts of the request files the lines call for, one per request.
  RequestTexts& request_texts() { return request_texts_; }

  // The report generator in force (may be empty).
  ComPtr<tallier::ITallier> Tallier() const;
  // Replaces the report generator (the earlier one is released).
  void SetTallier(ComPtr<tallier::ITallier> tallier);
  // Releases the report generator if it is still `tallier`.
  void ReleaseTallier(const ComPtr<tallier::ITallier>& tallier);

  std::shared_ptr<Clock> clock() const;

  // The owner of this host's shares when hosts share the storage root
  // (share_owner.h); null on a storage root of one host.
  ShareOwner* shares() const { return shares_; }
  void SetShares(ShareOwner* shares) { shares_ = shares; }

 private:
  std::atomic<ShareOwner*> shares_{nullptr};
  CRequestQueue dial_queue_;
  CRequestQueue page_queue_;
  CLineRegistry lines_;
  UnbookedResults unbooked_;
  RequestTexts request_texts_;
  mutable Mutex mutex_;
  ComPtr<tallier::ITallier> tallier_ RINGWELL_GUARDED_BY(mutex_);
  std::shared_ptr<Clock> clock_ RINGWELL_GUARDED_BY(mutex_);
};

// The state of this process (built on first use, kept until the process ends).
SchedulerState& ProcessState();

}  // namespace ringwell::dialqueue
