// The paths the workers derive from a request file path (Requests/ID.xml):
// the report (Reports/ID.xml), the directory of the request's wav files
// (Requests/ID/) and the directory removed when the request is finished.
// "/" is the separator.
//
// Thread-safety: pure functions.
#pragma once

#include <optional>
#include <string>

#include "queue_entry.h"

namespace ringwell::dialqueue {

// The report of the request: the directory "Requests" holding the file
// becomes "Reports".
std::string ReportPathOf(const CQueueEntry& entry);

// The request's wav directory: the request file path without its extension,
// followed by "/" (the whole path when the file name has no extension).
std::string WavDirectoryOf(const std::string& request_file);

// The directory removed with the request: the request file's directory, the
// ID and "/". None when the ID is not a plain name, so that an ID such as
// "../x" or "" never names a directory.
std::optional<std::string> CleanupDirectoryOf(const CQueueEntry& entry);

}  // namespace ringwell::dialqueue
