// The request directory through a request's life: made together with its
// marker, taken over after an interruption, and left by moving the rewritten
// request to Requests. Also what a killed run left behind.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "file_processor.h"
#include "prepax_log.h"
#include "ringwell/common/directory_lock.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/text.h"
#include "worker_share.h"

namespace ringwell::prepax {
namespace {

constexpr char kDirectoryOperation[] = "CFileProcessor::ProcessFiles";

void LogLinkRefused(const std::string& path) {
  LogTwo(prepax_msg::kErrorIn, kDirectoryOperation,
         path + " is or passes through a symbolic link; it is not followed.");
}

// A name made by a temporary-file step: "." + name + "." + six characters.
bool IsTemporaryName(std::string_view name) {
  if (name.size() < 9 || name.front() != '.' || name[name.size() - 7] != '.') return false;
  for (char c : name.substr(name.size() - 6)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum) return false;
  }
  return true;
}

// Makes a new directory ".ID.XXXXXX" in `parent`, its path in *path. The
// name comes from the unique file names of safe_files: the placeholder file
// makes way for the directory (one that appears under the name meanwhile
// sends it to the next name).
HRESULT MakeTemporaryDirectory(const std::string& parent, const std::string& id,
                               std::string* path) {
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < 10 && Failed(hr); ++attempt) {
    hr = MakeUniqueFile(parent, "." + id + ".", "", path);
    if (Succeeded(hr)) hr = RemoveFile(*path);
    if (Succeeded(hr)) hr = MakeDirectory(*path);
  }
  return hr;
}

bool Missing(HRESULT hr) {
  return hr == HresultFromWin32(ERROR_FILE_NOT_FOUND) ||
         hr == HresultFromWin32(ERROR_PATH_NOT_FOUND);
}

// The starts recorded in a marker (0 after an orderly stop of the first); an
// empty or unreadable one counts once.
int RecordedAttempts(const std::string& marker) {
  std::string text;
  if (Failed(ReadWholeFile(marker, &text))) return 1;
  return std::max(0, ParseInt32(Trim(text)).value_or(1));
}

}  // namespace

int CFileProcessor::MakeRequestDirectory(const std::string& id) {
  const std::string dir = layout_.RequestDir(id);
  const std::string marker = dir + "/" + kPreprocessingMarker;
  struct stat st {};
  const HRESULT found = LinkStatus(dir, &st);
  if (Missing(found)) {
    // Made under a temporary name with its marker inside, then renamed: the
    // directory is never seen without its marker.
    std::string temp;
    HRESULT hr = MakeTemporaryDirectory(layout_.RequestsDir(), id, &temp);
    if (Succeeded(hr)) {
      UniqueFd fd;
      hr = OpenFile(temp + "/" + kPreprocessingMarker, O_WRONLY | O_CREAT | O_EXCL, 0666, &fd);
      if (Succeeded(hr) && !WriteAll(fd.get(), "1")) hr = HresultFromErrno(errno);
      if (Succeeded(hr)) hr = fd.Close();
      if (Succeeded(hr)) hr = RenameEntry(temp, dir, /*replace=*/false);
      if (Failed(hr)) RemoveDirectoryFiles(temp);
    }
    if (Succeeded(hr)) return 0;
    LogOne(prepax_msg::kCreateDirectoryFailed, dir);
    throw ComError(E_FAIL);
  }
  if (IsSymbolicLinkRefusal(found) || (Succeeded(found) && S_ISLNK(st.st_mode))) {
    LogLinkRefused(dir);
    LogOne(prepax_msg::kCreateDirectoryFailed, dir);
    throw ComError(E_FAIL);
  }
  if (Succeeded(found) && S_ISDIR(st.st_mode) && IsRegularFile(marker)) {
    // Left by a run that stopped in the middle of this request.
    // Back to the directory as it was made, dropping half-written files:
    // to start again, or for a request given up to be cleared completely.
    std::vector<DirectoryEntry> entries;
    ThrowIfFailed(ListDirectory(dir, &entries));
    for (const DirectoryEntry& entry : entries) {
      if (entry.name != kPreprocessingMarker) RemoveFile(dir + "/" + entry.name);
    }
    const int attempts = RecordedAttempts(marker);
    if (attempts >= kMaxAttempts) {
      LogTwo(prepax_msg::kErrorIn, kDirectoryOperation,
             "Request " + id + " was started " + std::to_string(attempts) +
                 " times and the daemon stopped each time before it was done; it is given up.");
      throw ComError(E_FAIL);
    }
    ThrowIfFailed(WriteFileAtomically(marker, std::to_string(attempts + 1)));
    return attempts;
  }
  LogOne(prepax_msg::kCreateDirectoryFailed, dir);
  throw ComError(E_FAIL);
}

void CFileProcessor::UncountStart(const Request& request) {
  if (request.request_dir.empty()) return;  // stopped before its directory was made
  // Replaced in one step: a kill meanwhile leaves this start counted, as a
  // kill should.
  const std::string marker = request.request_dir + "/" + kPreprocessingMarker;
  if (Failed(WriteFileAtomically(marker, std::to_string(request.earlier_starts)))) {
    LogOne(prepax_msg::kSaveFileFailed, marker);
  }
}

// What a power cut leaves of a request, step by step. The inbox file is on
// disk from the start (the toolkit syncs it), and so is every save of the
// report (the report generator syncs each).
//   1. Until the first sync below, nothing else of the request need be on
//      disk: its directory, wav files and staged request may be missing or
//      incomplete. The inbox file is still there, so the restart processes
//      the request again from the start, as after a kill (a staged request
//      beside an inbox file is never trusted).
//   2. One sync of the whole file system puts on disk at once the wav files
//      and the staged request (written without syncs of their own), the
//      request directory's entries, its entry in Requests with its marker,
//      and the last steps of the requests before this one (whose markers may
//      go now).
//   3. The inbox file is removed, and its directory synced: from here on the
//      request cannot come back to Inbox, before the host can see it. When
//      that sync fails the request fails, before it reaches Requests (a cut
//      may then bring back the inbox file, which is processed again).
//   4. The move to Requests and the report's "Scheduled" are not synced:
//      a cut may undo either, but the marker is still on disk and the restart
//      ends the request as after a kill (staged and no inbox file: moved;
//      moved: the report marked). The marker goes only after the next sync
//      (the next request's step 2, or the one at the end of a cycle).
// So a request is never lost, never processed again once it may have been
// seen in Requests, and never reaches Requests without its wav files and its
// report.
bool CFileProcessor::Schedule(const std::string& name, const xml::Document& document,
                              const Request& request) {
  const std::string staged = request.request_dir + "/" + kScheduledRequest;
  HRESULT hr = document.Save(staged, Durability::kSyncedLater);
  if (Failed(hr)) {
    LogOne(prepax_msg::kSaveFileFailed, staged);
    throw ComError(hr);
  }
  SyncAndDropMarkers(request.request_dir);
  const std::string inbox_file = layout_.InboxDir() + name;
  if (const HRESULT removed = RemoveFile(inbox_file); Failed(removed)) {
    // A client withdrew the request (kel cancel) while it was being prepared:
    // its rename took the inbox file first, so the request must not run.
    if (Missing(removed) && IsRegularFile(layout_.WithdrawnInboxFile(request.id))) return false;
    LogOne(prepax_msg::kDeleteFileFailed, inbox_file);
    throw ComError(E_FAIL);
  }
  hr = SyncDirectory(layout_.InboxDir());
  if (Failed(hr)) {
    // Not on disk, the removal could be undone by a power cut after the host
    // has seen the request in Requests, and the request would run twice. It
    // fails here instead; should the inbox file come back, it starts again.
    LogTwo(prepax_msg::kErrorIn, kDirectoryOperation,
           "Cannot flush the removal of " + inbox_file + " to disk: " + ErrorText(hr));
    throw ComError(hr);
  }
  const std::string scheduled_file = layout_.RequestsDir() + name;
  hr = RenameEntry(staged, scheduled_file);
  if (Failed(hr)) {
    LogOne(prepax_msg::kSaveFileFailed, scheduled_file);
    throw ComError(hr);
  }
  return true;
}

void CFileProcessor::EndWithdrawn(const std::string& id) {
  // The status first: a stop before the files are cleared leaves the marker,
  // the staged request and the withdrawal, and the restart ends it the same way.
  if (tallier_) tallier_->UpdateStatus(layout_.ReportFile(id).c_str(), "*", "Canceled");
  ClearRequest(id);
  RemoveFile(layout_.WithdrawnInboxFile(id));
}

void CFileProcessor::SyncAndDropMarkers(const std::string& dir) {
  const HRESULT hr = SyncFileSystem(dir);
  if (Failed(hr)) {
    // The markers stay until a sync succeeds; the request goes on, at risk
    // only if the power fails before then.
    LogTwo(prepax_msg::kErrorIn, kDirectoryOperation,
           "Cannot flush the files below " + dir + " to disk: " + ErrorText(hr));
    return;
  }
  for (const std::string& marker : markers_awaiting_sync_) RemoveFile(marker);
  markers_awaiting_sync_.clear();
}

void CFileProcessor::DropMarkerAfterSync(const std::string& id) {
  markers_awaiting_sync_.push_back(layout_.RequestDir(id) + "/" + kPreprocessingMarker);
}

void CFileProcessor::SyncPendingMarkers() {
  if (!markers_awaiting_sync_.empty()) SyncAndDropMarkers(layout_.RequestsDir());
}

void CFileProcessor::RecoverInterruptedWork() {
  std::vector<DirectoryEntry> entries;
  if (Succeeded(ListDirectory(layout_.RequestsDir(), &entries))) {
    for (const DirectoryEntry& entry : entries) {
      const std::string path = layout_.RequestsDir() + entry.name;
      // ".ID.XXXXXX", ".ID.xml.XXXXXX" and "ID" belong to the worker of ID.xml.
      std::string id =
          IsTemporaryName(entry.name) ? entry.name.substr(1, entry.name.size() - 8) : entry.name;
      if (id.ends_with(".xml")) id.resize(id.size() - 4);
      if (!CurrentWorkerShare().Owns(id + ".xml")) continue;
      if (IsTemporaryName(entry.name)) {
        if (entry.type == DirectoryEntry::Type::kDirectory) {
          RemoveDirectoryFiles(path);
        } else {
          RemoveFile(path);
        }
      } else if (entry.type == DirectoryEntry::Type::kDirectory && entry.name.front() != '.') {
        try {
          RecoverRequestDirectory(entry.name);
        } catch (const std::exception&) {
          LogTwo(prepax_msg::kErrorIn, "CFileProcessor::RecoverInterruptedWork",
                 "Cannot finish the interrupted request " + entry.name);
        }
      }
    }
  }
  SyncPendingMarkers();
  // Reports: a temporary file whose report is unlocked has no writer left.
  if (Succeeded(ListDirectory(layout_.ReportsDir(), &entries))) {
    for (const DirectoryEntry& entry : entries) {
      if (!IsTemporaryName(entry.name) || entry.type != DirectoryEntry::Type::kFile) continue;
      const std::string name = entry.name.substr(1, entry.name.size() - 8);
      if (!CurrentWorkerShare().Owns(name)) continue;  // another worker's request
      const std::string report = layout_.ReportsDir() + name;
      DirectoryLock lock;
      if (Succeeded(DirectoryLock::Acquire(report, &lock))) {
        RemoveFile(layout_.ReportsDir() + entry.name);
      }
    }
  }
}

void CFileProcessor::RecoverRequestDirectory(const std::string& id) {
  const std::string dir = layout_.RequestDir(id);
  const std::string marker = dir + "/" + kPreprocessingMarker;
  if (!IsRegularFile(marker)) return;  // a scheduled request's directory
  std::vector<DirectoryEntry> entries;
  ThrowIfFailed(ListDirectory(dir, &entries));
  for (const DirectoryEntry& entry : entries) {
    const bool own = entry.name.starts_with(std::string(".") + kPreprocessingMarker + ".") ||
                     entry.name.starts_with(std::string(".") + kScheduledRequest + ".");
    if (own && IsTemporaryName(entry.name)) {
      RemoveFile(dir + "/" + entry.name);
    }
  }
  const std::string staged = dir + "/" + kScheduledRequest;
  const std::string inbox_file = layout_.InboxFile(id);
  const std::string scheduled_file = layout_.RequestFile(id);
  if (!FileExists(inbox_file) && !FileExists(scheduled_file) &&
      IsRegularFile(layout_.WithdrawnInboxFile(id))) {
    // Withdrawn by a client while it was being prepared, before it could
    // reach Requests: it never runs.
    EndWithdrawn(id);
    return;
  }
  if (IsRegularFile(staged) && !FileExists(inbox_file)) {
    // Stopped while scheduling, after the inbox file went (so the staged
    // request is on disk whole): finish it.
    if (Failed(RenameEntry(staged, scheduled_file))) {
      LogOne(prepax_msg::kSaveFileFailed, scheduled_file);
      return;
    }
  } else if (IsRegularFile(scheduled_file)) {
    // Scheduled already (the host may be dialling it), stopped before the
    // report said so; an inbox copy left beside it must not run again.
    const HRESULT removed = RemoveFile(inbox_file);
    if (Failed(removed) && !Missing(removed)) {
      LogOne(prepax_msg::kDeleteFileFailed, inbox_file);
      return;
    }
  } else {
    if (!FileExists(inbox_file)) RemoveDirectoryFiles(dir);  // nothing left to finish
    // Otherwise the inbox file is still there and the next cycle starts again.
    return;
  }
  // The marker goes once the steps above are on disk (the sync at the end of
  // the recovery).
  if (MarkScheduledWhereProcessing(id, Durability::kSyncedLater)) DropMarkerAfterSync(id);
}

bool CFileProcessor::MarkScheduledWhereProcessing(const std::string& id, Durability durability) {
  const std::string report = layout_.ReportFile(id);
  DirectoryLock lock;
  xml::Document document;
  if (Failed(DirectoryLock::Acquire(report, &lock)) || document.Load(report) != S_OK) {
    LogTwo(prepax_msg::kErrorIn, "CFileProcessor::MarkScheduledWhereProcessing",
           "Cannot mark the report " + report + " \"Scheduled\"");
    return false;
  }
  bool changed = false;
  auto update = [&](pugi::xml_node element) {
    pugi::xml_attribute status = element.attribute("Status");
    // Recipients of a toolkit request have no status before "Scheduled".
    const std::string_view value = status ? status.value() : "<none>";
    if (value == "Processing" || value.empty()) {
      status.set_value("Scheduled");
      changed = true;
    }
  };
  update(document.FirstChild());
  for (pugi::xml_node sub : xml::ElementsByName(document.dom(), "SubReport")) update(sub);
  if (changed && Failed(document.Save(report, durability))) {
    LogOne(prepax_msg::kSaveFileFailed, report);
    return false;
  }
  return true;
}

}  // namespace ringwell::prepax
