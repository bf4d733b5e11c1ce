// CCallService, coclass Dialqueue: the scheduler object a telephony host
// creates. It takes in request files (AddRequest), starts a worker per modem
// line (AddModem) and per pager (AddPager), lets the host choose how lines get
// their calls (IDialqueueDispatch), tells its queues' lengths
// (IDialqueueStatus), and shares the process-wide queues,
// line registry and report generator with every other scheduler object.
// Its own thread books, every two seconds, the results that waited for their
// report (report_steps.h), finishes the requests that waited only for that,
// and takes in again the request files whose report could not be read.
//
// Thread-safety: free-threaded; AddRequest may be called from any thread at
// any time. AddModem, AddPager and the final release must not overlap.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "line_dispatcher.h"
#include "modem_helper.h"
#include "pager_helper.h"
#include "ringwell/common/com.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "scheduler_state.h"
#include "share_owner.h"

namespace ringwell::dialqueue {

class CCallService final : public ComObject<IDialqueue, IDialqueueDispatch, IDialqueueStatus,
                                            IDialqueueShares, ISupportErrorInfo> {
 public:
  // Works on the process's shared state.
  CCallService() : CCallService(ProcessState()) {}
  // Works on `state`, which must outlive the object.
  explicit CCallService(SchedulerState& state) : state_(state) {}

  // Creates the report generator and makes it the one every worker uses, and
  // starts the thread that books the results that wait.
  HRESULT FinalConstruct();

  HRESULT AddRequest(const char* a_bstrFileName) override;
  HRESULT AddModem(IUnknown* a_pModem, std::int32_t a_nLine) override;
  HRESULT AddPager(IUnknown* a_pPager, std::int32_t a_nLine) override;
  HRESULT SetLineDispatch(std::int32_t a_nMode) override;
  HRESULT GetQueueLengths(std::int32_t* a_pnDueCalls, std::int32_t* a_pnDuePages,
                          std::int32_t* a_pnQueued) override;
  HRESULT ShareRequests(const char* a_bstrRequestsDir, const char* a_bstrHostId,
                        std::int32_t a_nLeaseSeconds) override;
  HRESULT InterfaceSupportsErrorInfo(const Guid& iid) override;

 private:
  // Final release: stops every worker, then destroys the modem workers and the
  // pager workers in the order they were added, then the line dispatcher, then
  // lets go of the report generator.
  ~CCallService() override;

  SchedulerState& state_;
  ComPtr<tallier::ITallier> tallier_;
  std::int32_t dispatch_ = dqPollingDispatch;
  std::unique_ptr<LineDispatcher> dispatcher_;  // made for the first dispatched line
  std::vector<std::unique_ptr<CModemHelper>> modems_;
  std::vector<std::unique_ptr<CPagerHelper>> pagers_;
  std::jthread booking_retry_;
  std::unique_ptr<ShareOwner> shares_;  // hosts sharing the storage root only
};

}  // namespace ringwell::dialqueue
