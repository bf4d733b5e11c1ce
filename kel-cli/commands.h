// The subcommands of the command-line client. Each returns the process exit
// code (see ExitCode) and throws Failure for a toolkit failure or a refused
// request, and UsageFailure for a command line that contradicts itself; main
// prints them.
//
// Thread-safety: the subcommands run on the main thread, one per process.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_definition.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel::cli {

// The description the flags of `kel submit` stand for.
nlohmann::json DescriptionFromFlags(const SubmitOptions& options);

int Submit(IKelService* service, const SubmitOptions& options);
// `kel say`: needs no storage root.
int Say(const SayOptions& options);
int Preview(IKelService* service, const PreviewOptions& options);
int Report(IKelService* service, const ReportOptions& options);
int List(IKelService* service, const ListOptions& options);
int Cancel(IKelService* service,
           const std::string& id);  // `id` in any form CanonicalRequestId reads
int FilesAdd(IKelService* service, const std::string& path, bool overwrite);
int FilesRemove(IKelService* service, const std::string& name);
int FilesInfo(IKelService* service, const std::string& name);
int FilesList(IKelService* service);

}  // namespace ringwell::kel::cli
