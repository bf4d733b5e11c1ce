// The subcommands of the command-line client. Each returns the process exit
// code (0 done, 1 failed or nothing to do) and throws Failure for a toolkit
// failure, which main prints.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ringwell/kel/kel.h"

namespace ringwell::kel::cli {

struct SubmitOptions {
  std::string file;  // a request description (JSON), "-" for standard input
  std::vector<std::string> to;
  std::vector<std::string> say;
  std::vector<std::string> play;
  std::string voice;
  std::string from = "now";
  std::string until = "+1h";
  bool page = false;
  std::string service;
};

struct ReportOptions {
  std::string id;
  bool json = false;
  bool wait = false;
  int interval_ms = 500;
  int timeout_s = 0;  // 0: wait as long as it takes
};

// The description the flags of `kel submit` stand for.
nlohmann::json DescriptionFromFlags(const SubmitOptions& options);

int Submit(IKelService* service, const SubmitOptions& options);
int Report(IKelService* service, const ReportOptions& options);
int Cancel(IKelService* service, const std::string& id);
int FilesAdd(IKelService* service, const std::string& path, bool overwrite);
int FilesRemove(IKelService* service, const std::string& name);
int FilesInfo(IKelService* service, const std::string& name);
int FilesList(IKelService* service);

}  // namespace ringwell::kel::cli
