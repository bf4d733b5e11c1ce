// The report side (GetReport, CancelRequest) of the service is not offered
// yet.
#include "kel_service.h"

namespace ringwell::kel {

HRESULT CKelService::GetReport(const char*, IKelReport** a_ppReport) {
  if (a_ppReport != nullptr) *a_ppReport = nullptr;
  return E_NOTIMPL;
}

HRESULT CKelService::CancelRequest(const char*) { return E_NOTIMPL; }

}  // namespace ringwell::kel
