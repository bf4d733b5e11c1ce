// The requests of a storage root, read for `kel ls`: every report in Reports
// with its overall status, its recipients done and in all, and the window of
// the request while its request file is still there (in Inbox or Requests);
// and the requests still waiting in Inbox without a report, with no status.
// Only what a line of the listing shows is read: the report's attributes and
// those of its SubReport elements, and the first lines of a request file.
//
// Thread-safety: reads files only; any thread may list.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ringwell/common/ole_date.h"

namespace ringwell::kel::cli {

struct ListedRequest {
  std::string id;
  std::string type;    // the report's Type: "Call" or "Page"
  std::string status;  // the report's Status ("" before preprocessing starts)
  int done = 0;        // recipients with a final status
  int total = 0;
  std::optional<OleDate> start;  // the window, when the request file is there
  std::optional<OleDate> stop;
  Moment changed{};  // when the report last changed
};

// The requests below `root` (ending in "/"), newest change first, only those
// with one of `statuses` (compared ignoring case; all when empty), at most
// `limit` of them (all when 0). Throws Failure when Reports cannot be read;
// a report that cannot be read is listed with status "?".
std::vector<ListedRequest> ListRequests(const std::string& root,
                                        const std::vector<std::string>& statuses,
                                        std::size_t limit);

// Whether a recipient with this status will not be called again.
bool IsFinalRecipientStatus(const std::string& status);

}  // namespace ringwell::kel::cli
