// Dialqueue, the call scheduler, as a telephony host sees it. The host creates
// the scheduler by class identifier, hands it one IModem object per line and
// an IPager object, and then the paths of scheduled request files
// (Requests/ID.xml). The scheduler queues one entry per recipient and runs one
// worker per modem line and per pager: it dials within the request's window,
// retries after busy, no answer and errors, and records every status and call
// result in the request's report.
//
// Thread-safety: IDialqueue may be called from any thread; the host must not
// hand the same file over from two threads at once, and must not overlap
// AddModem/AddPager with the final release. The scheduler calls each device
// from that device's own worker thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ringwell/common/com.h"

namespace ringwell::dialqueue {

using namespace ringwell::literals;

struct IDialqueue : IUnknown {
  static constexpr Guid kIid = "{7A12E5DA-2A68-4873-B023-6C900D0D5A77}"_guid;
  using Base = IUnknown;
  // Queues the recipients of a scheduled request file. S_FALSE when the file
  // cannot be loaded as XML; S_OK otherwise (also when it is queued already).
  virtual HRESULT AddRequest(const char* a_bstrFileName) = 0;
  // Starts a line worker for the modem object (which should offer IModem).
  // S_OK, also when no worker could be made (an object whose query fails, a
  // thread that cannot start): that is logged, the caller gets an error
  // object, and no worker is kept.
  virtual HRESULT AddModem(IUnknown* a_pModem, std::int32_t a_nLine) = 0;
  // Starts a pager worker for the pager object (which should offer IPager);
  // S_OK as AddModem.
  virtual HRESULT AddPager(IUnknown* a_pPager, std::int32_t a_nLine) = 0;
};

// How the modem lines get their calls.
enum DialqueueDispatch : std::int32_t {
  // Each line looks at the queue every 300 ms plus 500 ms per line number
  // above 1, and takes the first entry when it is due (the default).
  dqPollingDispatch = 0,
  // A due entry goes at once to the lowest-numbered free line: for hosts with
  // many lines.
  dqImmediateDispatch = 1,
};

// Offered by the scheduler object beside IDialqueue.
struct IDialqueueDispatch : IUnknown {
  static constexpr Guid kIid = "{F5BED446-1CCB-4284-B704-078C1829E105}"_guid;
  using Base = IUnknown;
  // Sets how the modem lines added from now on get their calls
  // (DialqueueDispatch); E_INVALIDARG for any other value. Must not overlap
  // AddModem.
  virtual HRESULT SetLineDispatch(std::int32_t a_nMode) = 0;
};

// Offered by the scheduler object beside IDialqueue, for hosts that share one
// storage root (a replicated or network file system whose byte-range locks
// are leases). From the call on, a request file handed over is not queued
// whole: the host takes shares of its recipients while it has room, each
// share owned through a lock on a byte of Requests/.owners, and takes over
// the shares of a host whose locks went (its calls in progress booked once as
// interrupted attempts). A host whose probe of the storage root has failed
// for half the lease stops dialling, hangs up its calls in progress (through
// IModemHangUp, where the line offers it) without booking them, and lets its
// shares go.
struct IDialqueueShares : IUnknown {
  static constexpr Guid kIid = "{42E58B41-7B49-45B4-93CC-3426CDEE50D2}"_guid;
  using Base = IUnknown;
  // `a_bstrRequestsDir`: the Requests directory of the shared root (ending
  // with "/"); `a_bstrHostId`: this host's name among those sharing it (a
  // plain file name, unique); `a_nLeaseSeconds`: the file server's lease (2
  // to 3600). Must be called before the first AddRequest, once. E_POINTER
  // for a null text, E_INVALIDARG for a value out of range, E_UNEXPECTED
  // when shares are on already.
  virtual HRESULT ShareRequests(const char* a_bstrRequestsDir, const char* a_bstrHostId,
                                std::int32_t a_nLeaseSeconds) = 0;
};

// One modem line of the host.
struct IDialqueueStatus : IUnknown {
  static constexpr Guid kIid = "{3C7E61B2-94D5-4F0A-8E1B-6A2D9C4F7E13}"_guid;
  using Base = IUnknown;
  // The recipients due now and waiting for a line (calls) or the pager
  // (pages), and every recipient queued, taken or not (for a host's status).
  virtual HRESULT GetQueueLengths(std::int32_t* a_pnDueCalls, std::int32_t* a_pnDuePages,
                                  std::int32_t* a_pnQueued) = 0;
};

struct IModem : IUnknown {
  static constexpr Guid kIid = "{642D805F-1679-43B9-903B-C17F8C8AA21E}"_guid;
  using Base = IUnknown;
  // A readable description of the line (the scheduler does not call it).
  virtual HRESULT Describe(std::string* a_pbstrDescription) = 0;
  // Places one call to `number` (blanks trimmed), plays the call tree of
  // `request_xml` (the whole request file) using the wav files in `wav_dir`
  // (ending with "/"), and blocks until the call is over. `result` receives the
  // call result: a Call element with the attribute Status and the children
  // Time (typed dateTime), Answer, Protocol and Duration.
  virtual HRESULT MakeCall(const char* number, const char* request_xml, const char* wav_dir,
                           std::string* result) = 0;
};

// Offered by a modem object beside IModem when its calls can be ended before
// their end. The scheduler of a host sharing the storage root uses it when the
// host fences itself: another host is about to call those recipients again.
struct IModemHangUp : IUnknown {
  static constexpr Guid kIid = "{5D0C3A71-2E8B-4F96-A1D4-7B3E9C2F6A58}"_guid;
  using Base = IUnknown;
  // Ends the call MakeCall is placing on this line now at once (an unanswered
  // call is cancelled, an answered one hung up): MakeCall returns soon, with
  // whatever result it has. Does nothing when no call is in progress. May be
  // called from any thread.
  virtual HRESULT HangUp() = 0;
};

// The pager of the host.
struct IPager : IUnknown {
  static constexpr Guid kIid = "{ACAF7014-ED47-461F-9128-27D565CF7411}"_guid;
  using Base = IUnknown;
  virtual HRESULT Describe(std::string* a_pbstrDescription) = 0;
  // Sends `count` pages (0 to 5): page i goes to numbers[i] with services[i]
  // (possibly empty) for the request requests[i]. `results` receives one result
  // text per page, in order, each with a first element carrying Status.
  virtual HRESULT SendPages(std::int32_t count, const char* const* numbers,
                            const char* const* services, const char* const* request_xmls,
                            std::vector<std::string>* results) = 0;
};

inline constexpr Guid kDialqueueClsid = "{761FA4CC-0BC7-4E98-83EA-87FB38F08FE7}"_guid;
inline constexpr Guid kDialqueueLibId = "{879E06EA-1E5F-47AC-B93E-345E2ABB90AE}"_guid;
inline constexpr char kDialqueueProgId[] = "Dialqueue.Dialqueue.1";
inline constexpr char kDialqueueVersionIndependentProgId[] = "Dialqueue.Dialqueue";

}  // namespace ringwell::dialqueue
