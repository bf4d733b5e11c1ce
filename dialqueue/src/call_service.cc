#include "call_service.h"

#include <new>

#include "dialqueue_log.h"
#include "intake.h"
#include "ringwell/common/class_registry.h"

namespace ringwell::dialqueue {

HRESULT CCallService::FinalConstruct() {
  const HRESULT hr = CreateInstance(tallier::kTallierClsid, &tallier_);
  if (Failed(hr)) return hr;
  state_.SetTallier(tallier_);
  return S_OK;
}

CCallService::~CCallService() {
  // Every worker is asked first, so that they wind down together; each is
  // then joined as it is destroyed.
  for (const auto& modem : modems_) modem->RequestStop();
  for (const auto& pager : pagers_) pager->RequestStop();
  for (auto& modem : modems_) modem.reset();
  modems_.clear();
  for (auto& pager : pagers_) pager.reset();
  pagers_.clear();
  state_.ReleaseTallier(tallier_);
}

HRESULT CCallService::AddRequest(const char* a_bstrFileName) {
  const ErrorReporter reporter = DialqueueReporter();
  try {
    return QueueRequestFile(a_bstrFileName != nullptr ? a_bstrFileName : "", state_);
  } catch (const ComError& e) {
    reporter.TwoStrings(dialqueue_msg::kXmlErrorIn, "CCallService::AddRequest", e.Text(), e.code(),
                        LogFlag::kYes);
  } catch (const std::bad_alloc&) {
    reporter.TwoStrings(dialqueue_msg::kXmlErrorIn, "CCallService::AddRequest",
                        ErrorText(E_OUTOFMEMORY), E_OUTOFMEMORY, LogFlag::kYes);
  } catch (...) {
    reporter.TwoStrings(dialqueue_msg::kXmlErrorIn, "CCallService::AddRequest", ErrorText(E_FAIL),
                        E_FAIL, LogFlag::kYes);
  }
  return S_OK;
}

HRESULT CCallService::AddModem(IUnknown* a_pModem, std::int32_t a_nLine) {
  DialqueueReporter().Guard("CCallService::AddModem", [&] {
    modems_.push_back(std::make_unique<CModemHelper>(a_pModem, a_nLine, state_));
    return S_OK;
  });
  return S_OK;
}

HRESULT CCallService::AddPager(IUnknown* a_pPager, std::int32_t a_nLine) {
  DialqueueReporter().Guard("CCallService::AddPager", [&] {
    pagers_.push_back(std::make_unique<CPagerHelper>(a_pPager, a_nLine, state_));
    return S_OK;
  });
  return S_OK;
}

HRESULT CCallService::InterfaceSupportsErrorInfo(const Guid& iid) {
  return iid == IDialqueue::kIid ? S_OK : S_FALSE;
}

}  // namespace ringwell::dialqueue
