#include "report_update.h"

#include <new>

#include "report_file.h"
#include "request_record.h"
#include "ringwell/common/error_info.h"

namespace ringwell::tallier {
namespace {

// Applies one change, recording a refusal of its content in it. Out of memory
// is thrown: the report may be half changed and must not be saved.
void Apply(ParsedReport& report, PreparedChange& change) {
  try {
    if (change.kind == ReportChange::kStatus) {
      SetStatus(report.document, report.Index(), change.recipient, change.status);
      return;
    }
    if (change.kind == ReportChange::kRequestRecord) {
      if (change.record) PutRequestRecord(report.document, *change.record);
      return;
    }
    if (!AppendPreparedCall(report.Index(), change.recipient, change.call)) return;
    // Sub-reports copied with the call are sub-reports of the report now.
    if (change.call.usable() && change.call.holds_sub_reports) {
      report.index->Rebuild(report.document);
    }
    if (!change.call.parsed) change.not_parsed = true;
    if (change.call.refusal) change.refusal = change.call.refusal;
  } catch (const ComError& e) {
    if (e.code() == E_OUTOFMEMORY) throw;
    change.refusal = e;
  }
}

}  // namespace

std::vector<PreparedChange> PrepareChanges(std::span<const ReportChange> changes) {
  std::vector<PreparedChange> prepared;
  prepared.reserve(changes.size());
  for (const ReportChange& change : changes) {
    PreparedChange& next = prepared.emplace_back();
    next.kind = change.kind;
    next.recipient = change.recipient;
    if (change.kind == ReportChange::kCallResult) {
      next.call = PrepareCallResult(change.text);
    } else if (change.kind == ReportChange::kRequestRecord) {
      try {
        next.record = BuildRequestRecord(change.text);
      } catch (const ComError& e) {
        if (e.code() == E_OUTOFMEMORY) throw std::bad_alloc();
        next.refusal = e;
      }
    } else {
      next.status = change.text;
    }
  }
  return prepared;
}

void SaveBatch(const std::string& path, std::chrono::milliseconds retry_delay,
               std::span<CommitQueue::Job* const> batch) {
  auto update = [](CommitQueue::Job* job) { return static_cast<ReportUpdate*>(job); };
  auto fail_all = [&](const ComError& e) {
    for (CommitQueue::Job* job : batch) update(job)->failure = e;
  };
  try {
    DirectoryLock lock;
    std::unique_ptr<ParsedReport> report;
    if (!LockAndLoadReport(path, retry_delay, &lock, &report)) {
      for (CommitQueue::Job* job : batch) update(job)->not_loaded = true;
      return;
    }
    for (CommitQueue::Job* job : batch) {
      for (PreparedChange& change : update(job)->changes) Apply(*report, change);
    }
    SaveReportWithRetry(std::move(report), path, retry_delay);
  } catch (...) {
    fail_all(CaughtFailure());
  }
}

}  // namespace ringwell::tallier
