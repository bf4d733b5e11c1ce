// The report side of the service: GetReport reads a request's report file
// into report objects; CancelRequest withdraws a scheduled request and marks
// its report "Canceled", unless the report already has a final status.
#include <fcntl.h>

#include <thread>

#include "kel_log.h"
#include "kel_report.h"
#include "kel_service.h"
#include "ringwell/common/directory_lock.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/text.h"
#include "ringwell/common/unique_fd.h"

namespace ringwell::kel {
namespace {

constexpr std::string_view kProgId = kKelServiceProgId;
constexpr char kCanceled[] = "Canceled";
constexpr char kScheduled[] = "Scheduled";

// Below the storage root a report reached through a link cannot be read.
bool CanRead(const std::string& path) {
  UniqueFd fd;
  return Succeeded(OpenFile(path, O_RDONLY | O_NONBLOCK, 0, &fd));
}

// Sets the Report element's Status, and that of every SubReport below it
// that is "Scheduled" (ignoring case), to "Canceled". A report without a
// Report element, or a SubReport without a Status, cannot be cancelled
// (ComError E_INVALIDARG); the document may then be half changed.
void MarkCanceled(xml::Document& document) {
  const pugi::xml_node report = xml::ChildElement(document.dom(), "Report");
  if (!report) throw ComError(E_INVALIDARG);
  xml::SetAttribute(report, "Status", kCanceled);
  for (const pugi::xml_node sub_report : xml::ElementsByName(report, "SubReport")) {
    const pugi::xml_attribute status = sub_report.attribute("Status");
    if (!status) throw ComError(E_INVALIDARG);
    if (EqualsIgnoringCase(status.value(), kScheduled)) {
      xml::SetAttribute(sub_report, "Status", kCanceled);
    }
  }
}

// Whether the Report element's Status is one no writer changes any more.
bool HasFinalStatus(const xml::Document& document) {
  const pugi::xml_node report = xml::ChildElement(document.dom(), "Report");
  const std::string_view status = report.attribute("Status").value();
  for (const char* final_status : {"Completed", "Canceled", "InternalError", "ErrorNoFile",
                                   "ErrorConvertFile", "ErrorGenerateVoiceFile"}) {
    if (EqualsIgnoringCase(status, final_status)) return true;
  }
  return false;
}

}  // namespace

bool CKelService::ReadableWithRetry(const std::string& path) const {
  if (CanRead(path)) return true;
  std::this_thread::sleep_for(retry_delay_);
  return CanRead(path);
}

bool CKelService::LoadWithRetry(const std::string& path, xml::Document* document,
                                std::string* reason) const {
  if (ThrowIfFailed(document->Load(path, reason)) == S_OK) return true;
  std::this_thread::sleep_for(retry_delay_);
  return ThrowIfFailed(document->Load(path, reason)) == S_OK;
}

HRESULT CKelService::GetReport(const char* a_bstrRequestId, IKelReport** a_ppReport) {
  if (a_ppReport != nullptr) *a_ppReport = nullptr;
  if (a_bstrRequestId == nullptr || a_ppReport == nullptr) return E_INVALIDARG;
  // The identifier names a file in Reports: it must not lead anywhere else.
  if (!IsPlainName(a_bstrRequestId)) return E_INVALIDARG;
  if (location_.empty()) return RuleViolation(kProgId, kel_msg::kLocationRequired);
  return KelReporter(kProgId).Guard("CKelService::GetReport", [&]() -> HRESULT {
    const std::string path = layout_.ReportFile(a_bstrRequestId);
    if (!FileExists(path)) return S_FALSE;
    if (!ReadableWithRetry(path)) return RuleViolation(kProgId, kel_msg::kFileAccessFailed, path);
    // The report generator replaces the file whole on every save, so it is
    // read without a lock.
    xml::Document document;
    std::string reason;
    if (!LoadWithRetry(path, &document, &reason)) {
      return RuleViolation(kProgId, kel_msg::kXmlLoadFailed, path, reason);
    }
    auto report = MakeComObject<CKelReport>();
    const HRESULT hr = report->DeXMLize(document.FirstChild(), 1);
    if (Failed(hr)) return hr;
    return ComPtr<IKelReport>(report).CopyTo(a_ppReport);
  });
}

HRESULT CKelService::CancelRequest(const char* a_bstrRequestId) {
  if (a_bstrRequestId == nullptr || !IsPlainName(a_bstrRequestId)) return E_INVALIDARG;
  if (location_.empty()) return RuleViolation(kProgId, kel_msg::kLocationRequired);
  return KelReporter(kProgId).Guard("CKelService::CancelRequest", [&]() -> HRESULT {
    // Only a request the preprocessing daemon has scheduled can be cancelled.
    const std::string request = layout_.RequestFile(a_bstrRequestId);
    if (!FileExists(request)) return S_FALSE;
    return CancelUnderReportLock(request, layout_.ReportFile(a_bstrRequestId));
  });
}

bool CKelService::DeleteWithRetry(const std::string& path) const {
  if (Succeeded(RemoveFile(path))) return true;
  std::this_thread::sleep_for(retry_delay_);
  return Succeeded(RemoveFile(path));
}

HRESULT CKelService::CancelUnderReportLock(const std::string& request_path,
                                           const std::string& report_path) {
  if (!FileExists(report_path)) {
    DeleteWithRetry(request_path);
    return RuleViolation(kProgId, kel_msg::kReportNotFound);
  }
  // The report generator's lock, held from before the load to after the
  // save: no update of another writer falls between them and is lost, and
  // the status read is the one the cancel decides on.
  DirectoryLock lock;
  HRESULT hr = DirectoryLock::Acquire(report_path, &lock);
  // The report exists, so a lock file that can be neither made nor opened
  // beside it means its directory refuses writing: the report could not be
  // saved there either.
  if (hr == E_ACCESSDENIED || hr == HresultFromWin32(ERROR_FILE_NOT_FOUND)) {
    return RuleViolation(kProgId, kel_msg::kSaveNotPermitted, report_path);
  }
  ThrowIfFailed(hr);

  if (!ReadableWithRetry(report_path)) {
    return RuleViolation(kProgId, kel_msg::kFileAccessFailed, report_path);
  }
  xml::Document document;
  std::string reason;
  if (!LoadWithRetry(report_path, &document, &reason)) {
    return RuleViolation(kProgId, kel_msg::kXmlLoadFailed, report_path, reason);
  }
  // A finished request stays finished: the scheduler saves "Completed" a
  // moment before it deletes the request file, and a cancel in that moment
  // must not turn the final status into "Canceled".
  if (HasFinalStatus(document)) return S_FALSE;
  const bool deleted = DeleteWithRetry(request_path);
  MarkCanceled(document);

  hr = document.Save(report_path);  // atomic: readers see the old or the new report
  if (hr == E_ACCESSDENIED) return RuleViolation(kProgId, kel_msg::kSaveNotPermitted, report_path);
  if (Failed(hr)) {
    return KelReporter(kProgId).TwoStrings(kel_msg::kXmlSaveFailed, report_path, ErrorText(hr), hr,
                                           LogFlag::kNo);
  }
  if (!deleted) return RuleViolation(kProgId, kel_msg::kDeleteFileFailed, request_path);
  return S_OK;
}

}  // namespace ringwell::kel
