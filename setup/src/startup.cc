#include "ringwell/setup/startup.h"

#include <cstdio>

#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"

namespace ringwell::setup {

bool ReadyToStart(const char* program, const Requirements& requirements, const CEventLog& log) {
  std::vector<Problem> problems;
  for (Problem& problem : CheckConfiguration(requirements)) {
    // A setting no program reads stops nothing; it is told, and the program starts.
    if (problem.concern != Concern::kUnknownSetting) {
      problems.push_back(std::move(problem));
      continue;
    }
    const std::string line = "warning: " + problem.Line();
    std::fprintf(stderr, "%s: %s\n", program, line.c_str());
    log.ReportText(EventType::kWarning, 0, line);
  }
  if (problems.empty()) return true;
  std::string line = "cannot start: " + problems.front().Line();
  if (problems.size() > 1) {
    line += " (" + std::to_string(problems.size() - 1) + " more: ringwell-setup --check)";
  }
  std::fprintf(stderr, "%s: %s\n", program, line.c_str());
  log.ReportText(EventType::kError, 0, line);
  return false;
}

StorageWatch::StorageWatch(std::string program, std::string root, const CEventLog& log)
    : program_(std::move(program)), root_(std::move(root)), log_(log) {}

void StorageWatch::Poll() {
  const std::string reports = StorageLayout{root_}.ReportsDir();
  std::string problem;
  if (!IsDirectory(root_)) {
    problem = "the storage root " + root_ + " has vanished; requests wait until it is back";
  } else if (!IsDirectory(reports)) {
    problem = "the directory " + reports + " has vanished; requests wait until it is back";
  }
  if (problem == problem_) return;
  const std::string line = problem.empty()
                               ? "the storage root " + root_ + " and its Reports directory are back"
                               : problem;
  std::fprintf(stderr, "%s: %s\n", program_.c_str(), line.c_str());
  log_.ReportText(problem.empty() ? EventType::kInformation : EventType::kError, 0, line);
  problem_ = std::move(problem);
}

}  // namespace ringwell::setup
