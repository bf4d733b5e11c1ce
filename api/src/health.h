// What /readyz and /metrics tell of the installation beyond the API itself:
// whether the storage root can be written and whether prepax and the host
// were seen working recently (their heartbeat files, status_file.h; on a
// shared root each box's, one working box is enough), and the installation's
// figures: requests by status (counted in memory, see request_counts.h), the
// Inbox backlog, and from the heartbeats of the hosts seen working their lines
// (busy and idle), the due queues and their calls and pages by result.
//
// Thread-safety: the functions may be called from any thread.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "request_counts.h"

namespace ringwell::api {

inline constexpr char kPrepaxStatus[] = "prepax";
inline constexpr char kHostStatus[] = "ringwell-host";

struct Readiness {
  bool ready = false;
  nlohmann::json body;  // {"ready": bool, "checks": {"storage"|"prepax"|"host": {"ok", "detail"}}}
};
Readiness CheckReadiness(const std::string& root, std::chrono::seconds max_age);

// The installation's metric families (HELP, TYPE and samples); requests by
// status from `counts` (none without).
std::string InstallationMetrics(const std::string& root, RequestCounts* counts,
                                std::chrono::seconds max_age);

}  // namespace ringwell::api
