#include "request_paths.h"

#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"

namespace ringwell::dialqueue {

std::string ReportPathOf(const CQueueEntry& entry) {
  return ReportPathForRequestFile(entry.RequestFile);
}

std::string WavDirectoryOf(const std::string& request_file) {
  const std::size_t slash = request_file.rfind('/');
  const std::size_t dot = request_file.rfind('.');
  const bool has_extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_extension ? request_file.substr(0, dot) : request_file) + "/";
}

std::optional<std::string> CleanupDirectoryOf(const CQueueEntry& entry) {
  if (!IsPlainName(entry.Id)) return std::nullopt;
  return DirectoryOf(entry.RequestFile) + entry.Id + "/";
}

}  // namespace ringwell::dialqueue
