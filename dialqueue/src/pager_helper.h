// CPagerHelper: the worker of a pager. Its thread polls the page queue every
// 300 ms, collects up to five due entries, hands them to the pager object in
// one batch (IPager::SendPages), pauses 5 seconds, then books each page's
// result in its report, retries failed pages under the request's error rule
// and removes finished entries; when a request's last recipient is done it
// deletes the request's files and marks the report "Completed".
//
// A batch that cannot be sent (no device, a failing device) and a page whose
// result is not XML or has no "Status" are logged and count as failed pages:
// they are retried under the error rule and otherwise finish "Failed".
//
// The worker's loop is the LineWorker skeleton's; this class keeps the batch
// and its pause.
//
// Thread-safety: the object is built and destroyed by the scheduler object;
// only its own thread uses the pager. Destruction stops the thread (cutting
// the pause short) and waits for it before the device is released.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "line_worker.h"
#include "queue_entry.h"
#include "report_steps.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "scheduler_state.h"

namespace ringwell::dialqueue {

class CPagerHelper final : private LineWorker::Job {
 public:
  // Largest number of pages sent in one batch.
  static constexpr std::size_t kBatchSize = 5;

  // Asks `pager` for IPager: a null object, or one without IPager, leaves the
  // worker without a device (each batch then fails); any other failure of the
  // query throws ComError. Starts the worker thread; a thread that cannot
  // start throws ComError too (LineWorker). `state` must outlive the object.
  CPagerHelper(IUnknown* pager, std::int32_t line, SchedulerState& state);
  // Stops and joins the worker, then releases the device.
  ~CPagerHelper() = default;
  CPagerHelper(const CPagerHelper&) = delete;
  CPagerHelper& operator=(const CPagerHelper&) = delete;

  // Asks the worker to end (cutting the pause short), without waiting.
  void RequestStop() { worker_.RequestStop(); }

 private:
  struct SendItem {
    CQueueEntry entry;
    std::shared_ptr<const std::string> request_xml;  // never empty
  };

  // A batch of due pages: sent, then booked (ProcessPagerRequests).
  void Process(std::vector<CQueueEntry> batch, const std::stop_token& stop) override;
  // The poll interval, 300 ms.
  void Rest(const std::stop_token& stop) override;
  void ProcessPagerRequests(std::vector<CQueueEntry> batch, const std::stop_token& stop);
  // Sends the pages; false (after logging) when the batch could not be sent.
  bool Send(const std::vector<SendItem>& items, std::vector<std::string>* results);
  // The "Status" of one page's result, or "Failed" (logged) when there is none.
  std::string PageStatus(const std::string& result, const CQueueEntry& entry);
  // Retries a failed page or finishes the entry with `status`, recording the
  // page's result (none when empty) with the recipient's new status.
  void Settle(CQueueEntry entry, const std::string& status, const std::string& result,
              const std::stop_token& stop);
  void RemoveRequests(const CQueueEntry& entry, bool send_completed, const std::stop_token& stop);

  SchedulerState& state_;
  const std::shared_ptr<Clock> clock_;
  const ReportSteps steps_;
  ComPtr<IPager> device_;
  LineWorker worker_;  // last: stopped and joined before the rest goes
};

}  // namespace ringwell::dialqueue
