// ReportUpdate: one caller's changes of a report (a status, a call result, or
// several in one ApplyChanges), prepared by the caller and carried with the
// updates of other threads in one locked load-change-save (CommitQueue).
//
// The caller prepares what needs no report (a call result is parsed and
// checked in its own thread); the saving thread applies the changes in order
// and records what became of each, and of the update as a whole. The caller
// then reports the failures in its own thread, as its own call would.
//
// Thread-safety: an update is the caller's until it is queued, the saving
// thread's while its batch is saved, and the caller's again once Commit
// returns (CommitQueue orders these).
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "commit_queue.h"
#include "report_document.h"
#include "ringwell/common/error_info.h"
#include "ringwell/tallier/tallier.h"

namespace ringwell::tallier {

struct PreparedChange {
  ReportChange::Kind kind;
  std::string recipient;
  std::string status;                   // kStatus
  PreparedCallResult call;              // kCallResult
  std::optional<xml::Document> record;  // kRequestRecord, when it could be built
  // What the save made of it: the change was refused for its content (its
  // own call would have failed so), or its call result did not parse while
  // some sub-report was addressed.
  std::optional<ComError> refusal;
  bool not_parsed = false;
};

struct ReportUpdate : CommitQueue::Job {
  std::vector<PreparedChange> changes;
  // The update as a whole: the report did not load, or it was not saved
  // (then none of the changes is in the file).
  bool not_loaded = false;
  std::optional<ComError> failure;
};

// Prepares `changes` for an update; throws only when memory runs out.
std::vector<PreparedChange> PrepareChanges(std::span<const ReportChange> changes);

// Saves the batch of updates to the report at `path`: takes the report's lock,
// loads it (from the process's cache when unchanged, trying once more after
// `retry_delay`), applies each update's changes and saves the report once
// (trying once more after `retry_delay`). Records the outcome in each update;
// never throws.
void SaveBatch(const std::string& path, std::chrono::milliseconds retry_delay,
               std::span<CommitQueue::Job* const> batch);

}  // namespace ringwell::tallier
