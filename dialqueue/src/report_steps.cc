#include "report_steps.h"

#include <sys/stat.h>

#include <atomic>
#include <mutex>

#include "dialqueue_log.h"
#include "inherited_results.h"
#include "report_history.h"
#include "request_files.h"
#include "request_paths.h"
#include "ringwell/common/disk_space.h"
#include "ringwell/common/error_info.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/xml.h"
#include "share_owner.h"

namespace ringwell::dialqueue {
namespace {

using tallier::ReportChange;

// A failure that no later attempt can mend: the report generator refused the
// change for what it holds (the report itself loads), or the report is gone
// from a sound Reports directory.
bool RefusedForGood(HRESULT hr, const std::string& report) {
  if (hr != E_INVALIDARG) return false;
  xml::Document document;
  return document.Load(report) == S_OK || ReportGoneForGood(report);
}

}  // namespace

bool ReportGoneForGood(const std::string& report) {
  struct stat st {};
  return IsDirectory(DirectoryOf(report)) &&
         LinkStatus(report, &st) == HresultFromWin32(ERROR_FILE_NOT_FOUND);
}

namespace {

CQueueEntry EntryOf(const KeptRequest& kept) {
  CQueueEntry entry;
  entry.Id = kept.id;
  entry.RequestFile = kept.request_file;
  return entry;
}

}  // namespace

void ReportSteps::LogError(const std::string& report, std::string_view text) const {
  LogFailure(dialqueue_msg::kErrorIn, operation_, text, {.path = report});
}

namespace {

// Reports made again by this process so far: a change that failed while
// another line made its report again is booked again too.
std::atomic<std::uint64_t> reports_recreated{0};

}  // namespace

bool ReportSteps::RecreateVanishedReport(const std::string& request_file) const {
  const std::string report = ReportPathForRequestFile(request_file);
  if (!ReportGoneForGood(report)) return false;
  // One maker at a time in this process: a line that finds the report gone
  // while another line makes it again books into the new one.
  static std::mutex making;
  std::lock_guard lock(making);
  if (!ReportGoneForGood(report)) return true;
  // A request that is gone (cancelled, finished) gets no report again.
  if (!IsRegularFile(request_file)) return false;
  const ComPtr<tallier::ITallier> tallier = state_.Tallier();
  if (!tallier) return false;
  // Made where this process looks for it, or not at all.
  if (Failed(tallier->CreateNewReport(request_file.c_str())) || ReportGoneForGood(report)) {
    return false;
  }
  // The report's memory of what the request asks for, as the daemon keeps it.
  std::string request_xml;
  ComPtr<tallier::ITallierChanges> batch;
  if (Succeeded(ReadWholeFile(request_file, &request_xml)) &&
      Succeeded(tallier->QueryInterface(tallier::ITallierChanges::kIid, batch.PutVoid()))) {
    const ReportChange record{ReportChange::kRequestRecord, "", request_xml.c_str()};
    batch->ApplyChanges(report.c_str(), &record, 1);
  }
  ++reports_recreated;
  LogError(report, "The report was gone from " + DirectoryOf(report) +
                       "; it is made again from the request file " + request_file +
                       " and the results the host holds");
  return true;
}

std::size_t ReportSteps::Apply(const std::string& request_file,
                               const std::vector<KeptChange>& changes, bool quiet) const {
  // A report that vanished while its request runs (Reports/ removed and made
  // again) is made again before anything is booked into it, and the changes
  // that failed on its absence are booked into the new one.
  RecreateVanishedReport(request_file);
  const std::uint64_t recreations = reports_recreated.load();
  bool recreated = false;
  std::size_t done = ApplyOnce(request_file, changes, quiet, &recreated, recreations);
  if (recreated && done < changes.size()) {
    const std::vector<KeptChange> rest(changes.begin() + static_cast<std::ptrdiff_t>(done),
                                       changes.end());
    done += ApplyOnce(request_file, rest, quiet, nullptr, recreations);
  }
  return done;
}

std::size_t ReportSteps::ApplyOnce(const std::string& request_file,
                                   const std::vector<KeptChange>& changes, bool quiet,
                                   bool* recreated, std::uint64_t recreations) const {
  const std::string report = ReportPathForRequestFile(request_file);
  const auto fail = [&](HRESULT hr) {
    if (recreated != nullptr && hr == E_INVALIDARG &&
        (RecreateVanishedReport(request_file) || reports_recreated.load() != recreations)) {
      *recreated = true;
      return false;  // booked again into the new report
    }
    if (!quiet) LogError(report, ErrorText(hr));
    return RefusedForGood(hr, report);
  };
  const ComPtr<tallier::ITallier> tallier = state_.Tallier();
  if (!tallier) return fail(E_POINTER) ? changes.size() : 0;
  std::vector<ReportChange> list;
  for (const KeptChange& change : changes) {
    list.push_back({change.kind, change.recipient.c_str(), change.text.c_str()});
  }
  ComPtr<tallier::ITallierChanges> batch;
  if (list.size() > 1 &&
      Succeeded(tallier->QueryInterface(tallier::ITallierChanges::kIid, batch.PutVoid()))) {
    const HRESULT hr =
        batch->ApplyChanges(report.c_str(), list.data(), static_cast<std::int32_t>(list.size()));
    return Succeeded(hr) || fail(hr) ? list.size() : 0;
  }
  std::size_t done = 0;
  for (const ReportChange& change : list) {
    const HRESULT hr = change.kind == ReportChange::kStatus
                           ? tallier->UpdateStatus(report.c_str(), change.recipient, change.text)
                           : tallier->AddCallResult(report.c_str(), change.recipient, change.text);
    if (Failed(hr) && !fail(hr)) break;
    ++done;
  }
  return done;
}

void ReportSteps::Keep(const CQueueEntry& entry, const std::vector<KeptChange>& changes,
                       bool finish) const {
  const KeptRequest request{.request_file = entry.RequestFile,
                            .id = entry.Id,
                            .page = page_,
                            .finish = false,
                            .changes = {}};
  const HRESULT hr = state_.unbooked().Keep(request, changes, finish);
  if (Failed(hr)) {
    // Without room on the disk the results wait in memory for it.
    LogError(state_.unbooked().PathOf(entry.RequestFile),
             IsNoSpace(hr) ? ErrorText(hr) + " The results of request " + entry.Id +
                                 " wait in memory and are booked once space comes back"
                           : ErrorText(hr));
  }
}

bool ReportSteps::BookWaitingLocked(const std::string& request_file, bool* finish,
                                    bool quiet) const {
  UnbookedResults& store = state_.unbooked();
  const std::optional<KeptRequest> kept = store.Get(request_file);
  if (!kept) return true;
  // A store a host read in after a restart may hold what it booked before.
  const std::size_t done = kept->changes.empty() ? 0
                           : store.Shared() ? BookUnlessHeld(request_file, kept->changes, quiet)
                                            : Apply(request_file, kept->changes, quiet);
  if (done == 0 && !kept->changes.empty()) return false;
  const bool finished = store.Booked(request_file, done);
  if (finish != nullptr) *finish = finished;
  return !store.Has(request_file);
}

std::size_t ReportSteps::BookUnlessHeld(const std::string& request_file,
                                        const std::vector<KeptChange>& changes, bool quiet) const {
  const std::optional<ReportHistory> history =
      ReportHistory::Read(ReportPathForRequestFile(request_file));
  const std::vector<bool> held =
      history ? history->Holds(changes) : std::vector<bool>(changes.size(), false);
  std::vector<KeptChange> fresh;
  std::vector<std::size_t> places;  // of each fresh change in `changes`
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (held[i]) continue;
    fresh.push_back(changes[i]);
    places.push_back(i);
  }
  const std::size_t done = fresh.empty() ? 0 : Apply(request_file, fresh, quiet);
  return done == fresh.size() ? changes.size() : places[done];
}

bool ReportSteps::BookWaiting(const std::string& request_file, bool* finish) const {
  if (finish != nullptr) *finish = false;
  UnbookedResults& store = state_.unbooked();
  if (!store.Has(request_file)) return true;
  std::lock_guard lock(store.MutexFor(request_file));
  return BookWaitingLocked(request_file, finish, true);
}

bool ReportSteps::Book(const CQueueEntry& entry, std::vector<KeptChange> changes, bool keep) const {
  UnbookedResults& store = state_.unbooked();
  const auto drop_done = [&](std::size_t done) {
    changes.erase(changes.begin(), changes.begin() + static_cast<std::ptrdiff_t>(done));
    return changes.empty();
  };
  if (!store.Has(entry.RequestFile)) {
    if (drop_done(Apply(entry.RequestFile, changes))) return true;
    if (!keep) return false;
    std::lock_guard lock(store.MutexFor(entry.RequestFile));
    Keep(entry, changes, false);
    return false;
  }
  std::lock_guard lock(store.MutexFor(entry.RequestFile));
  bool finish = false;
  if (BookWaitingLocked(entry.RequestFile, &finish, false) &&
      drop_done(Apply(entry.RequestFile, changes))) {
    return true;
  }
  if (keep) Keep(entry, changes, false);
  return false;
}

namespace {

std::vector<KeptChange> StartChanges(const CQueueEntry& entry) {
  return {{ReportChange::kStatus, entry.PhoneNumber, "InProgress"},
          {ReportChange::kStatus, "", "InProgress"}};
}

std::vector<KeptChange> EndChanges(const CQueueEntry& entry, const std::string& result,
                                   const std::string& status) {
  std::vector<KeptChange> changes;
  if (!result.empty()) changes.push_back({ReportChange::kCallResult, entry.PhoneNumber, result});
  changes.push_back({ReportChange::kStatus, entry.PhoneNumber, status});
  return changes;
}

}  // namespace

bool ReportSteps::StartAttempt(const CQueueEntry& entry) const {
  return Book(entry, StartChanges(entry), false);
}

void ReportSteps::EndAttempt(const CQueueEntry& entry, const std::string& result,
                             const std::string& status) const {
  Book(entry, EndChanges(entry, result, status), true);
}

bool ReportSteps::EndAndStart(const CQueueEntry& ended, const std::string& result,
                              const std::string& status, const CQueueEntry& next) const {
  UnbookedResults& store = state_.unbooked();
  if (store.Has(ended.RequestFile)) {  // what waits goes first, one by one
    EndAttempt(ended, result, status);
    return StartAttempt(next);
  }
  std::vector<KeptChange> changes = EndChanges(ended, result, status);
  const std::size_t ending = changes.size();
  for (KeptChange& change : StartChanges(next)) changes.push_back(std::move(change));
  const std::size_t done = Apply(ended.RequestFile, changes);
  if (done == changes.size()) return true;
  if (done < ending) {
    std::lock_guard lock(store.MutexFor(ended.RequestFile));
    Keep(ended,
         {changes.begin() + static_cast<std::ptrdiff_t>(done),
          changes.begin() + static_cast<std::ptrdiff_t>(ending)},
         false);
  }
  return false;
}

bool ReportSteps::Finish(const CQueueEntry& entry, bool completed) const {
  const auto book_completed = [&] {
    Book(entry, {{ReportChange::kStatus, "", "Completed"}}, true);
  };
  // With hosts sharing the storage root, this host's queue holding none of
  // the request's recipients says nothing of the others': the report does.
  // Nor do they say anything of the changes other hosts keep: those of a
  // host that is gone are booked first, and a live host's wait for it.
  if (ShareOwner* shares = state_.shares(); shares != nullptr && completed) {
    if (!BookOtherHostsResults(state_, *this, entry.RequestFile)) return false;
    if (!shares->Finish(entry, book_completed)) return false;
  } else if (completed) {
    book_completed();
  }
  UnbookedResults& store = state_.unbooked();
  if (!store.Has(entry.RequestFile)) return true;
  std::lock_guard lock(store.MutexFor(entry.RequestFile));
  if (!store.Has(entry.RequestFile)) return true;
  Keep(entry, {}, true);
  return false;
}

namespace {

// Hosts sharing the storage root: the request's kept changes are booked; when
// this host queues nothing of it, its report decides whether it is finished.
void FinishIfDone(SchedulerState& state, const KeptRequest& kept, const std::stop_token& stop) {
  if (state.shares() == nullptr || !IsRegularFile(kept.request_file)) return;
  CRequestQueue& queue = kept.page ? state.page_queue() : state.dial_queue();
  QueueLock lock(queue);
  if (queue.ContainsId(kept.id)) return;
  if (ReportSteps(state, "CCallService::BookResults", kept.page).Finish(EntryOf(kept), true)) {
    DeleteRequestFiles(EntryOf(kept), *state.clock(), stop);
    state.request_texts().Forget(kept.request_file);
  }
}

}  // namespace

void RetryUnbooked(SchedulerState& state, const std::stop_token& stop) {
  const bool shared = state.unbooked().Shared();
  if (shared) state.unbooked().TakeOwnStore();
  for (const std::string& request_file : state.unbooked().Waiting()) {
    if (stop.stop_requested()) return;
    const std::optional<KeptRequest> kept = state.unbooked().Get(request_file);
    if (!kept) continue;
    bool finish = false;
    const bool none_left = ReportSteps(state, "CCallService::BookResults", kept->page)
                               .BookWaiting(request_file, &finish);
    if (shared) {
      if (none_left) FinishIfDone(state, *kept, stop);
      continue;
    }
    if (!finish) continue;
    CRequestQueue& queue = kept->page ? state.page_queue() : state.dial_queue();
    QueueLock lock(queue);
    if (queue.ContainsId(kept->id)) continue;
    DeleteRequestFiles(EntryOf(*kept), *state.clock(), stop);
    state.request_texts().Forget(request_file);
  }
  if (!shared) return;
  for (const KeptRequest& booked : BookGoneHostsResults(state, stop)) {
    FinishIfDone(state, booked, stop);
  }
}

}  // namespace ringwell::dialqueue
