// Loading and saving the files the report generator works on, with its one
// retry: a file that does not load (missing, unreadable, not well-formed) is
// tried once more after a delay, and so is a save that fails.
//
// A report is loaded only under its DirectoryLock, which the caller keeps
// until the changed report is saved: no other writer, in this process or
// another, can change the report in between. Reports come from the process's
// ReportCache when their file is unchanged, and go back to it when saved.
//
// Failure codes other than "did not load" (memory, a lock that cannot be
// taken) are thrown as ComError.
//
// Thread-safety: the functions may run at once on distinct documents and
// locks.
#pragma once

#include <chrono>
#include <string>

#include "ringwell/common/directory_lock.h"
#include "ringwell/common/xml.h"

namespace ringwell::tallier {

// Loads `path` into `document`, trying once more after `retry_delay`. False
// when neither attempt loaded it.
bool LoadWithRetry(const std::string& path, std::chrono::milliseconds retry_delay,
                   xml::Document* document);

// Takes the lock guarding the report at `path` into `lock` and loads the
// report, trying once more after `retry_delay`. False when neither attempt
// loaded it. A report whose directory does not exist counts as not loaded;
// a lock that cannot be taken otherwise throws.
bool LockAndLoadReport(const std::string& path, std::chrono::milliseconds retry_delay,
                       DirectoryLock* lock, xml::Document* document);

// Saves the report `document` atomically to `path`, trying once more after
// `retry_delay`, and keeps it in the cache; throws the second failure.
void SaveReportWithRetry(xml::Document document, const std::string& path,
                         std::chrono::milliseconds retry_delay);

}  // namespace ringwell::tallier
