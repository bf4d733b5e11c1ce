// What the listing reads from the storage root (see listing.h): the
// attributes of a report, a request waiting in Inbox, and the window at the
// start of a request file. Files are opened without following links.
//
// Thread-safety: pure functions of the file system.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "listing.h"

namespace ringwell::kel::client::listing_files {

// The status of the entry `name` in directory `dir` (never following a
// link): true for a regular file.
bool RegularFileAt(int dir, const std::string& name, struct stat* status);

// When a file last changed, as the listing orders by it.
Moment ChangedAt(const struct stat& status);

// Fills type, status, done, total, delivery and the window the report kept of
// `request` from its report in the directory `reports` (status "?" when it
// cannot be read).
void ReadReport(int reports, ListedRequest& request);
// Fills type, total and the window of a request waiting in Inbox, from its
// request file `path` (status "?" when it cannot be read).
void ReadWaiting(const std::string& path, ListedRequest& request);
// Fills the window of `request` from its request file below `root`, when there
// is one in Requests or Inbox.
void ReadWindow(const std::string& root, ListedRequest& request);

}  // namespace ringwell::kel::client::listing_files
