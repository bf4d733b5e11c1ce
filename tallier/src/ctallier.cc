#include "ctallier.h"

#include "report_document.h"
#include "report_file.h"
#include "ringwell/common/storage.h"
#include "tallier_log.h"

namespace ringwell::tallier {
namespace {

constexpr char kCreateNewReport[] = "CTallier::CreateNewReport";
constexpr char kUpdateStatus[] = "CTallier::UpdateStatus";
constexpr char kAddCallResult[] = "CTallier::AddCallResult";

constexpr char kCantLoadRequest[] = "Can't load request file";
constexpr char kCantLoadReport[] = "Can't load report file";
constexpr char kCantLoadCallResult[] = "Can't load call result";

// "Error in <operation>: Can't load ...", logged, E_INVALIDARG.
HRESULT CantLoad(std::string_view operation, std::string_view what) {
  return TallierReporter().TwoStrings(tallier_msg::kErrorIn, operation, what, E_INVALIDARG,
                                      LogFlag::kYes);
}

void RequireArguments(std::initializer_list<const char*> arguments) {
  for (const char* argument : arguments) {
    if (argument == nullptr) throw ComError(E_INVALIDARG);
  }
}

}  // namespace

CTallier::CTallier(std::chrono::milliseconds retry_delay)
    : root_(ReadServiceRoot(TallierEventLog(), tallier_msg::kRegistryError)),
      retry_delay_(retry_delay) {
  ++live_objects_;
}

CTallier::~CTallier() { --live_objects_; }

HRESULT CTallier::CreateNewReport(const char* a_bstrRequestXMLFile) {
  return TallierReporter().Guard(kCreateNewReport, [&]() -> HRESULT {
    RequireArguments({a_bstrRequestXMLFile});
    xml::Document request;
    if (!LoadWithRetry(a_bstrRequestXMLFile, retry_delay_, &request)) {
      return CantLoad(kCreateNewReport, kCantLoadRequest);
    }
    NewReport report = BuildReport(request);
    // The ID names the report file: it must not lead anywhere else.
    if (!IsPlainName(report.id)) throw ComError(E_INVALIDARG);
    const std::string path = StorageLayout{root_}.ReportFile(report.id);
    FileLock lock;
    ThrowIfFailed(FileLock::Acquire(path, &lock));
    ThrowIfFailed(report.document.Save(path));
    return S_OK;
  });
}

HRESULT CTallier::UpdateStatus(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                               const char* a_bstrStatus) {
  return TallierReporter().Guard(kUpdateStatus, [&]() -> HRESULT {
    RequireArguments({a_bstrReportXMLFile, a_bstrRecipientNumber, a_bstrStatus});
    const std::string path = a_bstrReportXMLFile;
    FileLock lock;
    xml::Document report;
    if (!LockAndLoadReport(path, retry_delay_, &lock, &report)) {
      return CantLoad(kUpdateStatus, kCantLoadReport);
    }
    SetStatus(report, a_bstrRecipientNumber, a_bstrStatus);
    SaveWithRetry(report, path, retry_delay_);
    return S_OK;
  });
}

HRESULT CTallier::AddCallResult(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                                const char* a_bstrResultXML) {
  return TallierReporter().Guard(kAddCallResult, [&]() -> HRESULT {
    RequireArguments({a_bstrReportXMLFile, a_bstrRecipientNumber, a_bstrResultXML});
    const std::string path = a_bstrReportXMLFile;
    FileLock lock;
    xml::Document report;
    if (!LockAndLoadReport(path, retry_delay_, &lock, &report)) {
      return CantLoad(kAddCallResult, kCantLoadReport);
    }
    if (!tallier::AppendCallResult(report, a_bstrRecipientNumber, a_bstrResultXML)) {
      return CantLoad(kAddCallResult, kCantLoadCallResult);
    }
    SaveWithRetry(report, path, retry_delay_);
    return S_OK;
  });
}

}  // namespace ringwell::tallier
