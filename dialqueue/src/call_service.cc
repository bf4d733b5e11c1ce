#include "call_service.h"

#include <system_error>

#include "dialqueue_log.h"
#include "failure_boundary.h"
#include "intake.h"
#include "report_steps.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/storage.h"

namespace ringwell::dialqueue {

HRESULT CCallService::FinalConstruct() {
  const HRESULT hr = CreateInstance(tallier::kTallierClsid, &tallier_);
  if (Failed(hr)) return hr;
  state_.SetTallier(tallier_);
  try {
    booking_retry_ = std::jthread([this](std::stop_token stop) {
      const std::shared_ptr<Clock> clock = state_.clock();
      while (!stop.stop_requested()) {
        clock->SleepFor(std::chrono::seconds(2), stop);
        if (stop.stop_requested()) break;
        RetryUnbooked(state_, stop);
        for (const std::string& path : state_.unbooked().DeferredIntakes()) {
          AddRequest(path.c_str());
        }
      }
    });
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? HresultFromErrno(e.code().value()) : E_FAIL;
  }
  return S_OK;
}

CCallService::~CCallService() {
  // Every worker is asked first, so that they wind down together; each is
  // then joined as it is destroyed.
  for (const auto& modem : modems_) modem->RequestStop();
  for (const auto& pager : pagers_) pager->RequestStop();
  booking_retry_.request_stop();
  if (shares_) shares_->Stop();
  for (auto& modem : modems_) modem.reset();
  modems_.clear();
  for (auto& pager : pagers_) pager.reset();
  pagers_.clear();
  dispatcher_.reset();
  if (booking_retry_.joinable()) booking_retry_.join();
  if (shares_) {
    state_.SetShares(nullptr);
    shares_.reset();  // its shares go with it
  }
  state_.ReleaseTallier(tallier_);
}

// Each operation reports a failure through the common boundary (an entry and
// an error object for the caller), about its file or line, and returns
// success to the host all the same.
HRESULT CCallService::AddRequest(const char* a_bstrFileName) {
  const std::string path = a_bstrFileName != nullptr ? a_bstrFileName : "";
  if (shares_) {
    // Its shares are taken in by the owner's passes, as room allows.
    shares_->Know(path);
    return S_OK;
  }
  const HRESULT hr = DialqueueReporter()
                         .About({.path = path})
                         .Guard("CCallService::AddRequest", dialqueue_msg::kXmlErrorIn,
                                [&] { return QueueRequestFile(path, state_); });
  return Failed(hr) ? S_OK : hr;
}

HRESULT CCallService::AddModem(IUnknown* a_pModem, std::int32_t a_nLine) {
  DialqueueReporter().About({.line = a_nLine}).Guard("CCallService::AddModem", [&] {
    if (dispatch_ == dqImmediateDispatch && !dispatcher_) {
      dispatcher_ = std::make_unique<LineDispatcher>(state_);
    }
    modems_.push_back(std::make_unique<CModemHelper>(
        a_pModem, a_nLine, state_, dispatch_ == dqImmediateDispatch ? dispatcher_.get() : nullptr));
    if (shares_) shares_->SetLines(modems_.size());
    return S_OK;
  });
  return S_OK;
}

HRESULT CCallService::AddPager(IUnknown* a_pPager, std::int32_t a_nLine) {
  DialqueueReporter().About({.line = a_nLine}).Guard("CCallService::AddPager", [&] {
    pagers_.push_back(std::make_unique<CPagerHelper>(a_pPager, a_nLine, state_));
    return S_OK;
  });
  return S_OK;
}

HRESULT CCallService::SetLineDispatch(std::int32_t a_nMode) {
  if (a_nMode != dqPollingDispatch && a_nMode != dqImmediateDispatch) return E_INVALIDARG;
  dispatch_ = a_nMode;
  return S_OK;
}

HRESULT CCallService::GetQueueLengths(std::int32_t* a_pnDueCalls, std::int32_t* a_pnDuePages,
                                      std::int32_t* a_pnQueued) {
  if (a_pnDueCalls == nullptr || a_pnDuePages == nullptr || a_pnQueued == nullptr) {
    return E_POINTER;
  }
  const OleDate now = state_.clock()->Now();
  *a_pnDueCalls = static_cast<std::int32_t>(state_.dial_queue().CountDue(now));
  *a_pnDuePages = static_cast<std::int32_t>(state_.page_queue().CountDue(now));
  *a_pnQueued = static_cast<std::int32_t>(state_.dial_queue().Size() + state_.page_queue().Size());
  return S_OK;
}

HRESULT CCallService::ShareRequests(const char* a_bstrRequestsDir, const char* a_bstrHostId,
                                    std::int32_t a_nLeaseSeconds) {
  if (a_bstrRequestsDir == nullptr || a_bstrHostId == nullptr) return E_POINTER;
  const std::string dir = a_bstrRequestsDir;
  if (dir.empty() || dir.back() != '/' || !IsPlainName(a_bstrHostId) || a_nLeaseSeconds < 2 ||
      a_nLeaseSeconds > 3600) {
    return E_INVALIDARG;
  }
  if (shares_) return E_UNEXPECTED;
  return DialqueueReporter().Guard("CCallService::ShareRequests", [&] {
    auto shares = std::make_unique<ShareOwner>(
        state_, ShareSettings{.requests_dir = dir,
                              .host_id = a_bstrHostId,
                              .lease = std::chrono::seconds(a_nLeaseSeconds)});
    shares->SetLines(modems_.size());
    try {
      shares->Start();
    } catch (const std::system_error& e) {
      throw ComError(e.code().value() != 0 ? HresultFromErrno(e.code().value()) : E_FAIL);
    }
    state_.SetShares(shares.get());
    shares_ = std::move(shares);
    return S_OK;
  });
}

HRESULT CCallService::InterfaceSupportsErrorInfo(const Guid& iid) {
  return iid == IDialqueue::kIid ? S_OK : S_FALSE;
}

}  // namespace ringwell::dialqueue
