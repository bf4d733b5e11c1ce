#include "ctallier.h"

#include "report_cache.h"
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

// The reporter of an operation on `file` (the request or report path, or
// null): every entry names the file beside its text.
ErrorReporter About(const char* file) {
  return TallierReporter().About({.path = file != nullptr ? file : ""});
}

// "Error in <operation>: Can't load ...", logged, E_INVALIDARG.
HRESULT CantLoad(std::string_view operation, std::string_view what, const char* file) {
  return About(file).TwoStrings(tallier_msg::kErrorIn, operation, what, E_INVALIDARG,
                                LogFlag::kYes);
}

void RequireArguments(std::initializer_list<const void*> arguments) {
  for (const void* argument : arguments) {
    if (argument == nullptr) throw ComError(E_INVALIDARG);
  }
}

// Appends the call result, "Can't load call result" when it does not parse.
HRESULT AddResult(xml::Document& report, const char* path, const char* recipient,
                  const char* result) {
  if (!tallier::AppendCallResult(report, recipient, result)) {
    return CantLoad(kAddCallResult, kCantLoadCallResult, path);
  }
  return S_OK;
}

}  // namespace

CTallier::CTallier(std::chrono::milliseconds retry_delay)
    : root_(ReadServiceRoot(TallierEventLog(), tallier_msg::kRegistryError)),
      retry_delay_(retry_delay) {
  ++live_objects_;
}

CTallier::~CTallier() { --live_objects_; }

HRESULT CTallier::CreateNewReport(const char* a_bstrRequestXMLFile) {
  return About(a_bstrRequestXMLFile).Guard(kCreateNewReport, [&]() -> HRESULT {
    RequireArguments({a_bstrRequestXMLFile});
    xml::Document request;
    if (!LoadWithRetry(a_bstrRequestXMLFile, retry_delay_, &request)) {
      return CantLoad(kCreateNewReport, kCantLoadRequest, a_bstrRequestXMLFile);
    }
    NewReport report = BuildReport(request);
    // The ID names the report file: it must not lead anywhere else.
    if (!IsPlainName(report.id)) throw ComError(E_INVALIDARG);
    const std::string path = StorageLayout{root_}.ReportFile(report.id);
    try {
      DirectoryLock lock;
      ThrowIfFailed(DirectoryLock::Acquire(path, &lock));
      ProcessReportCache().Drop(path);
      ThrowIfFailed(SaveReport(report.document, path));
      ProcessReportCache().Put(path, std::move(report.document));
    } catch (const ComError& e) {
      // Names the report it could not write.
      return TallierReporter()
          .About({.request_id = report.id, .path = path})
          .Caught(kCreateNewReport, e);
    }
    return S_OK;
  });
}

HRESULT CTallier::Update(std::string_view operation, const char* path,
                         const std::function<HRESULT(xml::Document&)>& change) {
  DirectoryLock lock;
  xml::Document report;
  if (!LockAndLoadReport(path, retry_delay_, &lock, &report)) {
    return CantLoad(operation, kCantLoadReport, path);
  }
  const HRESULT hr = change(report);
  if (Failed(hr)) return hr;
  SaveReportWithRetry(std::move(report), path, retry_delay_);
  return hr;
}

HRESULT CTallier::UpdateStatus(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                               const char* a_bstrStatus) {
  return About(a_bstrReportXMLFile).Guard(kUpdateStatus, [&]() -> HRESULT {
    RequireArguments({a_bstrReportXMLFile, a_bstrRecipientNumber, a_bstrStatus});
    return Update(kUpdateStatus, a_bstrReportXMLFile, [&](xml::Document& report) {
      SetStatus(report, a_bstrRecipientNumber, a_bstrStatus);
      return S_OK;
    });
  });
}

HRESULT CTallier::AddCallResult(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                                const char* a_bstrResultXML) {
  return About(a_bstrReportXMLFile).Guard(kAddCallResult, [&]() -> HRESULT {
    RequireArguments({a_bstrReportXMLFile, a_bstrRecipientNumber, a_bstrResultXML});
    return Update(kAddCallResult, a_bstrReportXMLFile, [&](xml::Document& report) {
      return AddResult(report, a_bstrReportXMLFile, a_bstrRecipientNumber, a_bstrResultXML);
    });
  });
}

HRESULT CTallier::ApplyChanges(const char* a_bstrReportXMLFile, const ReportChange* changes,
                               std::int32_t count) {
  const char* operation = kUpdateStatus;
  if (count > 0 && changes != nullptr && changes[0].kind == ReportChange::kCallResult) {
    operation = kAddCallResult;
  }
  const ErrorReporter reporter = About(a_bstrReportXMLFile);
  return reporter.Guard(operation, [&]() -> HRESULT {
    RequireArguments({a_bstrReportXMLFile});
    if (count < 0 || (count > 0 && changes == nullptr)) throw ComError(E_INVALIDARG);
    for (std::int32_t i = 0; i < count; ++i) {
      RequireArguments({changes[i].recipient, changes[i].text});
    }
    HRESULT first_failure = S_OK;
    const HRESULT hr = Update(operation, a_bstrReportXMLFile, [&](xml::Document& report) {
      for (std::int32_t i = 0; i < count; ++i) {
        const ReportChange& change = changes[i];
        const bool result = change.kind == ReportChange::kCallResult;
        // A refused change is reported as its own call would be; out of
        // memory ends the whole update unsaved.
        const HRESULT step =
            reporter.Guard(result ? kAddCallResult : kUpdateStatus, [&]() -> HRESULT {
              if (result) {
                return AddResult(report, a_bstrReportXMLFile, change.recipient, change.text);
              }
              SetStatus(report, change.recipient, change.text);
              return S_OK;
            });
        if (step == E_OUTOFMEMORY) return step;
        if (Failed(step) && first_failure == S_OK) first_failure = step;
      }
      return S_OK;
    });
    return Failed(hr) ? hr : first_failure;
  });
}

}  // namespace ringwell::tallier
