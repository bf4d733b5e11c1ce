#include "kel_service.h"

#include <dirent.h>

#include "kel_log.h"
#include "kel_object.h"
#include "kel_request.h"
#include "ringwell/common/safe_files.h"
#include "xmlizer.h"

namespace ringwell::kel {
namespace {

// Whether the entries of `directory` can be listed (the current directory
// when it is empty).
bool CanList(const std::string& directory) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return false;
  ::closedir(dir);
  return true;
}

}  // namespace

CKelService::CKelService(std::chrono::milliseconds retry_delay) : retry_delay_(retry_delay) {
  if (auto root = ReadToolkitRoot()) SetLocation(*root, /*report=*/false);
}

HRESULT CKelService::get_Location(std::string* p_bstrValue) {
  return GetValue(location_, p_bstrValue);
}

HRESULT CKelService::put_Location(const char* newVal) {
  return SetLocation(FromNullable(newVal), /*report=*/true);
}

HRESULT CKelService::SetLocation(const std::string& location, bool report) {
  const std::string directory = location.empty() ? location : NormaliseRoot(location);
  if (!CanList(directory)) {
    if (!report) return MessageCode(kel_msg::kPathNotFound);
    return RuleViolation(kKelServiceProgId, kel_msg::kPathNotFound, directory);
  }
  location_ = location;
  layout_.root = directory;
  RegisterStorageRoot(directory);  // nothing below it is reached through a link
  return S_OK;
}

HRESULT CKelService::SubmitRequest(IKelRequest* a_pRequest, std::string* a_pbstrRequestId) {
  if (a_pRequest == nullptr || a_pbstrRequestId == nullptr) return E_INVALIDARG;
  // Only a request of this toolkit can carry an identifier and write itself.
  ComPtr<IKelRequest> request;
  ComPtr<_IKelRequestInternal> identified;
  ComPtr<_IXMLizerInternal> writer;
  if (Failed(a_pRequest->QueryInterface(IKelRequest::kIid, request.PutVoid())) ||
      Failed(request.As(&identified)) || Failed(request.As(&writer))) {
    return E_INVALIDARG;
  }

  HRESULT hr = ValidateRequest(request.Get());
  if (Failed(hr)) return hr;
  if (location_.empty()) return RuleViolation(kKelServiceProgId, kel_msg::kLocationRequired);

  return KelReporter(kKelServiceProgId).Guard("CKelService::SubmitRequest", [&] {
    const std::string id = Guid::Generate().ToString();
    *a_pbstrRequestId = id;
    ThrowIfFailed(identified->SetRequestId(id));

    // The document owns its first memory page, so making it cannot fail.
    xml::Document document;
    const HRESULT written = writer->XMLize(&document, document.dom(), 1);
    if (Failed(written)) return written;
    const HRESULT checked = CheckRequestFile(document);
    if (Failed(checked)) return checked;
    return Save(document, id);
  });
}

HRESULT CKelService::Save(const xml::Document& document, const std::string& id) {
  const std::string path = layout_.InboxFile(id);
  const HRESULT hr = document.Save(path);
  if (Succeeded(hr)) return S_OK;
  if (hr == HresultFromWin32(ERROR_PATH_NOT_FOUND) || hr == E_INVALIDARG) {
    return RuleViolation(kKelServiceProgId, kel_msg::kPathNotFound, layout_.InboxDir());
  }
  if (hr == E_ACCESSDENIED)
    return RuleViolation(kKelServiceProgId, kel_msg::kSaveNotPermitted, path);
  return KelReporter(kKelServiceProgId)
      .TwoStrings(kel_msg::kXmlSaveFailed, path, ErrorText(hr), hr, LogFlag::kNo);
}

HRESULT CKelService::InterfaceSupportsErrorInfo(const Guid& iid) {
  return SupportsErrorInfoFor<IKelService>(iid);
}

}  // namespace ringwell::kel
