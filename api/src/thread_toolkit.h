// The toolkit as the API's threads use it. libkel's objects belong to the
// thread that made them (they lock nothing), so every thread of the API (each
// server thread of each address, the report watcher, the callback senders)
// gets a service object of its own, made on its first use through the runtime
// by class identifier, exactly as kel makes one, and released when the thread
// ends.
//
// Thread-safety: each function works with the calling thread's own objects.
#pragma once

#include <optional>
#include <string>

#include "report_view.h"
#include "ringwell/kel/kel.h"

namespace ringwell::api {

// The calling thread's service object, its location set to `root` (ending
// with "/"). Throws kel::client::Failure when the toolkit cannot be created
// or the root refused.
kel::IKelService* ThreadService(const std::string& root);

// The report of `id` as `kel report --json` shows it; nullopt when there is
// no report, and when in its place there is something else than a file (a
// symbolic link, which the toolkit never follows, or a directory). Throws
// kel::client::Failure when it cannot be read.
std::optional<kel::client::ReportView> ReadReportOf(const std::string& root, const std::string& id);

// Whether the report's place holds something else than a regular file.
bool ReportIsNoFile(const std::string& root, const std::string& id);

}  // namespace ringwell::api
