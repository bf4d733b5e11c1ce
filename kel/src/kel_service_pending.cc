// The file store (SubmitFile, DeleteFile, GetFileInfo, Files) and the report
// side (GetReport, CancelRequest) of the service are not offered yet; each
// will move into a file of its own.
#include "kel_service.h"

namespace ringwell::kel {

HRESULT CKelService::SubmitFile(const char*, std::int32_t) { return E_NOTIMPL; }

HRESULT CKelService::DeleteFile(const char*) { return E_NOTIMPL; }

HRESULT CKelService::GetFileInfo(const char*, IKelFileInfo** a_ppFileInfo) {
  if (a_ppFileInfo != nullptr) *a_ppFileInfo = nullptr;
  return E_NOTIMPL;
}

HRESULT CKelService::get_Files(IKelFiles** a_ppFiles) {
  if (a_ppFiles != nullptr) *a_ppFiles = nullptr;
  return E_NOTIMPL;
}

HRESULT CKelService::GetReport(const char*, IKelReport** a_ppReport) {
  if (a_ppReport != nullptr) *a_ppReport = nullptr;
  return E_NOTIMPL;
}

HRESULT CKelService::CancelRequest(const char*) { return E_NOTIMPL; }

}  // namespace ringwell::kel
