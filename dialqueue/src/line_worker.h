// LineWorker: the skeleton every worker runs, a modem line's and a pager's
// alike. It starts the worker's thread, which until it is stopped
//
//   1. looks at the first free entry of its queue and, when there is one and
//      its line is free in the line registry, takes the line;
//   2. under the queue's lock takes the entries that are due, in order, up to
//      the job's batch size (the first that is not due ends the batch);
//   3. hands them to the job's processing step, then releases the line;
//   4. rests as long as the job says.
//
// In the modem's dispatch mode the LineDispatcher takes the entry and the line
// for the worker instead (steps 1 and 2). What the processing step throws is
// written as "XML error in %1: %2." with the job's operation name; its
// entries stay taken. A thread that cannot be started is an error of the
// worker's construction: it is logged ("Error in %1: %2." with the owner's
// constructor) and thrown, so no worker exists without its thread.
//
// The job (CModemHelper, CPagerHelper) keeps only its processing step and its
// rest, and uses QueryDevice and LoadRequest for the steps they share.
//
// Thread-safety: built and destroyed by the owner, which holds it as its last
// member, so that destruction stops and joins the thread (after the step in
// progress) before the rest of the owner goes. The job's methods run on the
// worker's thread only; RequestStop may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "line_dispatcher.h"
#include "queue_entry.h"
#include "request_queue.h"
#include "ringwell/common/com.h"
#include "ringwell/common/xml.h"
#include "scheduler_state.h"

namespace ringwell::dialqueue {

class LineWorker {
 public:
  // What one kind of device does with the entries its worker takes.
  class Job {
   public:
    // Deals with `entries` (one or more, taken in the queue, the line held).
    virtual void Process(std::vector<CQueueEntry> entries, const std::stop_token& stop) = 0;
    // Rests after each turn of the loop.
    virtual void Rest(const std::stop_token& stop) = 0;

   protected:
    ~Job() = default;
  };

  struct Settings {
    std::string_view owner;      // the owner's constructor, for a thread that cannot start
    std::string_view operation;  // names the events of a failing processing step
    CRequestQueue* queue;        // the queue the worker serves
    std::size_t batch_size = 1;  // most entries taken in one turn
    LineDispatcher* dispatcher = nullptr;  // the dispatch mode: it hands the entries over
  };

  // Starts the worker thread of `line` for `job`; `job`, `state` and the
  // settings' queue and dispatcher must outlive the object. Throws ComError
  // (after logging) when the thread cannot be started.
  LineWorker(Job& job, SchedulerState& state, std::int32_t line, const Settings& settings);
  // Stops the thread and waits for it.
  ~LineWorker();
  LineWorker(const LineWorker&) = delete;
  LineWorker& operator=(const LineWorker&) = delete;

  // Asks the worker to end after the step in progress, without waiting.
  void RequestStop() { thread_.request_stop(); }

  // The request file of `entry` as XML text, in *request_xml: loaded once
  // per process and shared by the lines (RequestTexts). A file that is gone
  // (cancelled) or unreadable gives S_FALSE: the entry leaves the queue and
  // the request's files are deleted, silently. Other failures are returned
  // as they are.
  HRESULT LoadRequest(const CQueueEntry& entry, std::shared_ptr<const std::string>* request_xml,
                      const std::stop_token& stop) const;

 private:
  void Poll(const std::stop_token& stop);
  void TakeDispatched(const std::stop_token& stop);
  std::vector<CQueueEntry> TakeDueEntries();

  Job& job_;
  SchedulerState& state_;
  const std::int32_t line_;
  const Settings settings_;
  std::jthread thread_;  // last: started once the rest is there
};

// The device interface `Device` of the host's object: empty for a null
// object or one without the interface (each attempt then fails); any other
// failure of the query throws ComError.
template <class Device>
ComPtr<Device> QueryDevice(IUnknown* object) {
  ComPtr<Device> device;
  if (object == nullptr) return device;
  const HRESULT hr = object->QueryInterface(Device::kIid, device.PutVoid());
  if (Failed(hr) && hr != E_NOINTERFACE) throw ComError(hr);
  return device;
}

}  // namespace ringwell::dialqueue
