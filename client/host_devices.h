// What the telephony hosts running on a storage root have, from their
// heartbeats (Status/ringwell-host.json, or each box's
// Status/ringwell-host-HOST.json on a shared root; ringwell/common/status_file.h):
// whether a page can be sent at all. A host seen working that says it has no pager cannot
// send one, so kel submit and the HTTP API refuse a page request at once
// instead of leaving it to fail in its report.
//
// Thread-safety: pure functions over the heartbeat file.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace ringwell::kel::client {

// Why a page cannot be sent through the host on `root` (ends with "/"):
// "no pager is configured: ..." when the hosts seen working within the last
// 30 s have no pager; empty when one of them has one or when no working host
// is seen (the request then waits for one, as any other).
std::string PagerProblem(const std::string& root);

// For a page request `description` (its "type" is "page"): throws Failure
// (E_INVALIDARG, field "type") with PagerProblem when it is not empty.
void RefuseUnsendablePages(const nlohmann::json& description, const std::string& root);

}  // namespace ringwell::kel::client
