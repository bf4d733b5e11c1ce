#include "file_processor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "prepax_log.h"
#include "ringwell/common/class_registry.h"
#include "ringwell/common/directory_lock.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/text.h"
#include "worker_share.h"

namespace ringwell::prepax {
namespace {

constexpr char kOperation[] = "CFileProcessor::ProcessFiles";
// What the probe of Reports/ writes: about what a small report takes.
constexpr std::size_t kReportProbeBytes = 4096;

// A root attribute the request cannot do without.
std::string RequiredAttribute(pugi::xml_node element, const char* name) {
  pugi::xml_attribute attribute = element.attribute(name);
  if (element.type() != pugi::node_element || !attribute) throw ComError(E_FAIL);
  return attribute.value();
}

}  // namespace

bool CFileProcessor::ReportsDirectoryTakesFiles(const std::string& report) const {
  // What a report's save needs: its lock, and room for a new file with data.
  DirectoryLock lock;
  if (Failed(DirectoryLock::Acquire(report, &lock))) return false;
  std::string probe;
  if (Failed(MakeUniqueFile(layout_.ReportsDir(), ".probe.", "", &probe))) return false;
  UniqueFd fd;
  bool written = Succeeded(OpenFile(probe, O_WRONLY, 0, &fd)) &&
                 WriteAll(fd.get(), std::string(kReportProbeBytes, ' ')) && ::fsync(fd.get()) == 0;
  written = Succeeded(fd.Close()) && written;
  RemoveFile(probe);
  return written;
}

namespace {

bool EndsWithXml(std::string_view name) {
  constexpr std::string_view kSuffix = ".xml";
  return name.size() > kSuffix.size() &&
         EqualsIgnoringCase(name.substr(name.size() - kSuffix.size()), kSuffix);
}

}  // namespace

CFileProcessor::CFileProcessor() {
  layout_.root = ReadServiceRoot(PrepaxLog(), prepax_msg::kRegistryError);
  if (Failed(CreateInstance(kSpeechClsid, &speech_))) {
    LogOne(prepax_msg::kErrorIn, "Failed to create Speech component.");
  } else {
    speech_->Initialize();
  }
  if (Failed(CreateInstance(tallier::kTallierClsid, &tallier_))) {
    LogOne(prepax_msg::kErrorIn, "Failed to create Tallier component.");
  }
  if (Failed(CreateInstance(wavshift::kWavshiftClsid, &converter_))) {
    LogOne(prepax_msg::kErrorIn, "Failed to create Wavshift component.");
  }
  RecoverInterruptedWork();
}

CFileProcessor::~CFileProcessor() = default;

void CFileProcessor::DropStaleWithdrawal(const DirectoryEntry& entry) {
  constexpr std::string_view kSuffix = ".withdrawn";
  const std::string_view name = entry.name;
  if (entry.type != DirectoryEntry::Type::kFile || name.size() <= kSuffix.size() + 1 ||
      name.front() != '.' || !name.ends_with(kSuffix)) {
    return;
  }
  const std::string request_file(name.substr(1, name.size() - 1 - kSuffix.size()));
  if (!EndsWithXml(request_file) || !CurrentWorkerShare().Owns(request_file)) return;
  // Between two cycles this worker prepares nothing: a withdrawal without a
  // request directory is one the daemon never took up (or has ended).
  const std::string id = request_file.substr(0, request_file.size() - 4);
  if (IsPlainName(id) && !FileExists(layout_.RequestDir(id)))
    RemoveFile(layout_.InboxDir() + entry.name);
}

void CFileProcessor::ScanInbox() {
  pending_.clear();
  std::vector<DirectoryEntry> entries;
  if (Failed(ListDirectory(layout_.InboxDir(), &entries))) return;
  std::vector<std::string> names;
  for (DirectoryEntry& entry : entries) {
    DropStaleWithdrawal(entry);
    if (entry.name.front() == '.' || !EndsWithXml(entry.name)) continue;
    if (!CurrentWorkerShare().Owns(entry.name)) continue;  // another worker's
    if (entry.type == DirectoryEntry::Type::kLink) {
      // Never followed; reported once, like any file that cannot be read.
      if (in_progress_.insert(entry.name).second) {
        LogTwo(prepax_msg::kErrorIn, kOperation,
               "The request file " + layout_.InboxDir() + entry.name +
                   " is a symbolic link; it is not read.");
      }
      continue;
    }
    if (entry.type == DirectoryEntry::Type::kFile) names.push_back(std::move(entry.name));
  }
  std::sort(names.begin(), names.end());
  for (auto& name : names) {
    if (!in_progress_.contains(name) && !WaitingForSpace(name)) pending_.push_back(std::move(name));
  }
}

void CFileProcessor::ProcessFiles(std::stop_token stop, std::stop_token lead) {
  lead_ = std::move(lead);
  for (const std::string& name : pending_) {
    if (stop.stop_requested() || LeadLost()) break;
    ProcessOne(name);
  }
  pending_.clear();
  if (!LeadLost()) SyncPendingMarkers();  // the next leader's recovery drops them
}

void CFileProcessor::ProcessOne(const std::string& name) {
  Request request;
  // The boundary logs a failure ("Error in CFileProcessor::ProcessFiles: "
  // and the code's text); the request is ended below.
  const HRESULT hr = PrepaxReporter().Guard(kOperation, [&] { return Preprocess(name, request); });
  // The lead was lost on the way: whatever happened, nothing more is
  // written; the next leader takes the request up from its inbox file.
  if (LeadLost()) return;
  if (Succeeded(hr)) {
    if (hr == S_OK) space_waits_.erase(name);  // S_FALSE: it waits for space
    return;
  }
  // Speech cut short by the daemon's stop: the request stays as it is and is
  // processed again on the next start, this start not counted.
  if (hr == E_ABORT) {
    UncountStart(request);
    return;
  }
  // Want of space passes: the request waits in Inbox instead of failing.
  if (FailedForSpace(hr) && WaitForSpace(name, request, hr)) return;
  // The status goes first: a kill before the request is cleared leaves its
  // inbox file, and the next run ends it the same way. A status that cannot
  // be saved for want of space leaves the request waiting, to fail later.
  if (!request.report_path.empty() && tallier_) {
    const HRESULT saved =
        tallier_->UpdateStatus(request.report_path.c_str(), "*", request.status.c_str());
    if (Failed(saved) && FailedForSpace(saved) && WaitForSpace(name, request, saved)) return;
  }
  space_waits_.erase(name);
  ClearRequest(request.id);
}

bool CFileProcessor::LoadInboxFile(const std::string& name, xml::Document* document) {
  const std::string inbox_file = layout_.InboxDir() + name;
  std::string content;
  const HRESULT read = ReadWholeFile(inbox_file, &content);
  if (read == HresultFromWin32(ERROR_FILE_NOT_FOUND)) return false;  // taken away meanwhile
  if (Failed(read)) {
    // Not retried: the file stays where it is until the daemon restarts.
    in_progress_.insert(name);
    LogTwo(prepax_msg::kErrorIn, kOperation,
           "Cannot read the request file " + inbox_file + ": " + ErrorText(read));
    throw ComError(read);
  }
  const HRESULT parsed = document->LoadXml(content);
  if (parsed == S_FALSE) return false;  // not (yet) a whole document: the next cycle tries again
  ThrowIfFailed(parsed);
  return true;
}

HRESULT CFileProcessor::Preprocess(const std::string& name, Request& request) {
  const std::string inbox_file = layout_.InboxDir() + name;
  xml::Document document;
  if (!LoadInboxFile(name, &document)) return S_OK;
  in_progress_.insert(name);

  const pugi::xml_node root = document.FirstChild();
  std::string id = RequiredAttribute(root, "ID");
  // An ID that is not a plain name never becomes part of a path.
  if (!IsPlainName(id)) throw ComError(E_INVALIDARG);
  request.id = std::move(id);
  request.type = RequiredAttribute(root, "Type");

  const std::string report = layout_.ReportFile(request.id);
  // After a failure of Reports/ the report generator (which reports every
  // failure of its own) is asked again only once the directory takes files.
  if (report_failures_.contains(name) && !ReportsDirectoryTakesFiles(report)) {
    in_progress_.erase(name);
    return S_OK;
  }
  if (LeadLost()) return E_ABORT;
  const HRESULT reported = GenerateReport(inbox_file, document, report, "Processing");
  if (Failed(reported) && reported != E_INVALIDARG && FailedForSpace(reported)) {
    // No room for the report: the request waits for space in Inbox.
    WaitForSpace(name, request, reported);
    return S_FALSE;
  }
  if (Failed(reported)) {
    if (reported != E_INVALIDARG && !ReportsDirectoryTakesFiles(report)) {
      // Reports/ itself fails. Without a report nobody could follow the
      // request: it waits in Inbox.
      in_progress_.erase(name);
      if (report_failures_.insert(name).second) {
        LogTwo(prepax_msg::kErrorIn, "CFileProcessor::GenerateReport",
               "The report of request " + request.id + " cannot be created in " +
                   layout_.ReportsDir() + " (" + ErrorText(reported) +
                   "); the request stays in Inbox and is tried again.");
      }
      return S_OK;
    }
    // The report generator refused what the request holds (E_INVALIDARG), or
    // the report of this request alone cannot be written: no attempt would
    // ever succeed, so the request is cleared now. A report that exists
    // (the status update failed) records the failure.
    report_failures_.erase(name);
    struct stat st {};
    if (Succeeded(LinkStatus(report, &st)) && S_ISREG(st.st_mode)) request.report_path = report;
    throw ComError(reported);
  }
  report_failures_.erase(name);
  request.report_path = report;

  CheckRequestSize(root, request);
  if (LeadLost()) return E_ABORT;
  request.earlier_starts = MakeRequestDirectory(request.id);
  request.request_dir = layout_.RequestDir(request.id);

  const std::string user_id = RequiredAttribute(root, "UserID");
  if (!IsPlainName(user_id)) throw ComError(E_INVALIDARG);
  request.user_files = layout_.UserFilesDir(user_id);

  if (!ProcessParts(document, request) || LeadLost()) return E_ABORT;
  RecordRequest(document, request);
  if (LeadLost()) return E_ABORT;
  if (!Schedule(name, document, request)) {
    in_progress_.erase(name);
    EndWithdrawn(request.id);
    return S_OK;
  }
  in_progress_.erase(name);

  // The host may be dialling the request already: only what still says
  // "Processing" becomes "Scheduled", so a status the scheduler wrote stays.
  // Until the marker goes, a restart finishes the report's update; it goes
  // once the next sync has put the update on disk.
  if (MarkScheduledWhereProcessing(request.id, Durability::kSyncedLater)) {
    DropMarkerAfterSync(request.id);
  }
  return S_OK;
}

HRESULT CFileProcessor::GenerateReport(const std::string& request_file,
                                       const xml::Document& document, const std::string& report,
                                       const std::string& status) {
  ComPtr<tallier::ITallierChanges> changes;
  if (!tallier_) return E_POINTER;
  if (const HRESULT hr = tallier_.As(&changes); Failed(hr)) return hr;
  if (const HRESULT hr = tallier_->CreateNewReport(request_file.c_str()); Failed(hr)) return hr;
  // The report and every "PhoneNumber" recipient in one save.
  std::vector<std::string> numbers;
  for (pugi::xml_node number : xml::ElementsByName(document.dom(), "PhoneNumber")) {
    numbers.push_back(xml::Text(number));
  }
  std::vector<tallier::ReportChange> batch = {{tallier::ReportChange::kStatus, "", status.c_str()}};
  for (const std::string& number : numbers) {
    batch.push_back({tallier::ReportChange::kStatus, number.c_str(), status.c_str()});
  }
  return changes->ApplyChanges(report.c_str(), batch.data(),
                               static_cast<std::int32_t>(batch.size()));
}

void CFileProcessor::RecordRequest(const xml::Document& document, const Request& request) {
  // Before the request reaches Requests, so no line writes the report yet.
  // The record is the report's memory of the window and the parts, not part
  // of the road: a report generator that refuses it (and logs why) holds up
  // nothing.
  ComPtr<tallier::ITallierChanges> changes;
  if (!tallier_ || Failed(tallier_.As(&changes))) return;
  const std::string xml = document.Xml();
  const tallier::ReportChange record{tallier::ReportChange::kRequestRecord, "", xml.c_str()};
  changes->ApplyChanges(request.report_path.c_str(), &record, 1);
}

}  // namespace ringwell::prepax
