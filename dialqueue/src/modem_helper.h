// CModemHelper: the worker of one modem line. Its thread polls the dial queue
// (or, in the dispatch mode for many lines, waits for the LineDispatcher),
// takes the first free entry once it is due, has the line's modem object place
// the call (IModem::MakeCall), books the status changes and the call result in
// the request's report, and plans a retry after a busy line, no answer or a
// failed call, within the request's window. When a request's last recipient
// is done it deletes the request's files and marks the report "Completed".
//
// A call that ends in an unexpected way (no device, a failing device, a result
// that is not XML or lacks "Answer" or "Status") is logged and counts as a
// failed call: it is retried under the error rule and otherwise finishes with
// the status "Failed".
//
// The worker's loop (polling, or waiting for the dispatcher) is the
// LineWorker skeleton's; this class keeps the call and its pause. A
// dispatched line whose call ended takes the next recipient of the same
// request itself when that is the first free entry of the queue and due
// (after a call that failed it rests first), and books the end of the call
// and the start of the next one in one update of the report.
//
// On a storage root shared by several hosts each call is registered with the
// share owner (share_owner.h) from before its start is booked until its result
// is: a host that fences itself hangs the call up (through the device's
// IModemHangUp, when it offers it), and the line books nothing of it and drops
// the entry; the next owner of its share books the attempt as interrupted.
//
// Thread-safety: the object is built and destroyed by the scheduler object;
// only its own thread works on the line. Destruction stops the thread (after
// the call in progress) and waits for it before the device is released.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "line_dispatcher.h"
#include "line_worker.h"
#include "queue_entry.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "scheduler_state.h"

namespace ringwell::dialqueue {

class CModemHelper final : private LineWorker::Job {
 public:
  // Asks `modem` for IModem: a null object, or one without IModem, leaves the
  // line without a device (each attempt then fails); any other failure of the
  // query throws ComError. Starts the worker thread; a thread that cannot
  // start throws ComError too (LineWorker). `state` must outlive the object.
  //
  // With a `dispatcher` (which must outlive the object) the line takes the
  // entries it hands over instead of polling the queue.
  CModemHelper(IUnknown* modem, std::int32_t line, SchedulerState& state,
               LineDispatcher* dispatcher = nullptr);
  // Stops and joins the worker, then releases the device.
  ~CModemHelper() = default;
  CModemHelper(const CModemHelper&) = delete;
  CModemHelper& operator=(const CModemHelper&) = delete;

  // Asks the worker to end after the call in progress, without waiting.
  void RequestStop() { worker_.RequestStop(); }

 private:
  struct Outcome {
    std::string answer;
    std::string status;
  };

  // The one entry the worker took for the line.
  void Process(std::vector<CQueueEntry> entries, const std::stop_token& stop) override;
  // The poll interval of the line (polling only), and a pause after a
  // failed call.
  void Rest(const std::stop_token& stop) override;
  // Calls the recipient of `entry` (whose start is booked already when
  // `started`) and books the end. A dispatched line that goes on with the
  // request's next recipient books that one's start with this end and
  // returns its entry.
  std::optional<CQueueEntry> ProcessDialRequest(CQueueEntry entry, bool started,
                                                const std::stop_token& stop);
  // Has the device call; `result` receives its call result (empty when there
  // is none).
  Outcome PlaceCall(const CQueueEntry& entry, const std::string& request_xml, std::string* result);
  // Applies the retry rules to `entry`; true when a retry is planned.
  bool Classify(const Outcome& outcome, CQueueEntry& entry);
  std::chrono::milliseconds PollInterval() const;
  // The entry leaves the queue and nothing is booked (a fence came).
  void Abandon(const CQueueEntry& entry);

  SchedulerState& state_;
  const std::shared_ptr<Clock> clock_;
  ComPtr<IModem> device_;
  ComPtr<IModemHangUp> hang_up_;  // empty when the device cannot end a call early
  const std::int32_t line_;
  const bool dispatched_;
  bool pause_ = false;  // only the worker thread reads and writes it
  LineWorker worker_;   // last: stopped and joined before the rest goes
};

}  // namespace ringwell::dialqueue
