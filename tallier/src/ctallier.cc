#include "ctallier.h"

#include "report_cache.h"
#include "report_document.h"
#include "report_file.h"
#include "report_update.h"
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

}  // namespace

CTallier::CTallier(std::chrono::milliseconds retry_delay, std::size_t max_batch)
    : root_(ReadServiceRoot(TallierEventLog(), tallier_msg::kRegistryError)),
      retry_delay_(retry_delay),
      max_batch_(max_batch) {
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
      ProcessReportCache().Put(
          path, std::make_unique<ParsedReport>(ParsedReport{std::move(report.document), nullptr}));
    } catch (const ComError& e) {
      // Names the report it could not write.
      return TallierReporter()
          .About({.request_id = report.id, .path = path})
          .Caught(kCreateNewReport, e);
    }
    return S_OK;
  });
}

HRESULT CTallier::Commit(std::string_view operation, const char* path,
                         std::span<const ReportChange> changes) {
  ReportUpdate update;
  update.changes = PrepareChanges(changes);
  CommitQueue::Commit(path, &update, max_batch_, [&](std::span<CommitQueue::Job* const> batch) {
    SaveBatch(path, retry_delay_, batch);
  });
  if (update.not_loaded) return CantLoad(operation, kCantLoadReport, path);
  if (update.failure) throw ComError(*update.failure);
  // A refused change is reported as its own call would be; the others are saved.
  HRESULT first_failure = S_OK;
  for (const PreparedChange& change : update.changes) {
    if (!change.not_parsed && !change.refusal) continue;
    const bool result = change.kind == ReportChange::kCallResult;
    const HRESULT step =
        About(path).Guard(result ? kAddCallResult : kUpdateStatus, [&]() -> HRESULT {
          if (change.not_parsed) return CantLoad(kAddCallResult, kCantLoadCallResult, path);
          throw ComError(*change.refusal);
        });
    if (first_failure == S_OK) first_failure = step;
  }
  return first_failure;
}

HRESULT CTallier::UpdateStatus(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                               const char* a_bstrStatus) {
  return About(a_bstrReportXMLFile).Guard(kUpdateStatus, [&]() -> HRESULT {
    RequireArguments({a_bstrReportXMLFile, a_bstrRecipientNumber, a_bstrStatus});
    const ReportChange change{ReportChange::kStatus, a_bstrRecipientNumber, a_bstrStatus};
    return Commit(kUpdateStatus, a_bstrReportXMLFile, {&change, 1});
  });
}

HRESULT CTallier::AddCallResult(const char* a_bstrReportXMLFile, const char* a_bstrRecipientNumber,
                                const char* a_bstrResultXML) {
  return About(a_bstrReportXMLFile).Guard(kAddCallResult, [&]() -> HRESULT {
    RequireArguments({a_bstrReportXMLFile, a_bstrRecipientNumber, a_bstrResultXML});
    const ReportChange change{ReportChange::kCallResult, a_bstrRecipientNumber, a_bstrResultXML};
    return Commit(kAddCallResult, a_bstrReportXMLFile, {&change, 1});
  });
}

HRESULT CTallier::ApplyChanges(const char* a_bstrReportXMLFile, const ReportChange* changes,
                               std::int32_t count) {
  const char* operation = kUpdateStatus;
  if (count > 0 && changes != nullptr && changes[0].kind == ReportChange::kCallResult) {
    operation = kAddCallResult;
  }
  return About(a_bstrReportXMLFile).Guard(operation, [&]() -> HRESULT {
    RequireArguments({a_bstrReportXMLFile});
    if (count < 0 || (count > 0 && changes == nullptr)) throw ComError(E_INVALIDARG);
    for (std::int32_t i = 0; i < count; ++i) {
      RequireArguments({changes[i].recipient, changes[i].text});
    }
    return Commit(operation, a_bstrReportXMLFile, {changes, static_cast<std::size_t>(count)});
  });
}

}  // namespace ringwell::tallier
