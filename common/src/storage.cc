#include "ringwell/common/storage.h"

#include "ringwell/common/error_report.h"
#include "ringwell/common/registry.h"
#include "ringwell/common/safe_files.h"

namespace ringwell {
namespace {

// The value as the platform hands it over: text up to its first NUL.
std::string CutAtNul(std::string text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

}  // namespace

std::string NormaliseRoot(std::string root) {
  if (root.empty() || root.back() != '/') root += '/';
  return root;
}

std::string ReadServiceRoot(const CEventLog& log, std::uint32_t registry_error_id) {
  const ErrorReporter reporter(log, "");
  std::string root;
  registry::Key key;
  if (Failed(registry::Key::Open(kConfigKey, &key))) {
    reporter.LogOnly(registry_error_id, kRegistryKeyOpenFailed, E_FAIL);
    // The value query of an unopened key fails as well.
    reporter.LogOnly(registry_error_id, kRootDirNotFound, E_FAIL);
    return NormaliseRoot({});
  }
  if (Failed(key.QueryString(kRootDirValue, &root)) || (root = CutAtNul(root)).empty()) {
    reporter.LogOnly(registry_error_id, kRootDirNotFound, E_FAIL);
    root.clear();
  }
  root = NormaliseRoot(std::move(root));
  RegisterStorageRoot(root);
  return root;
}

std::optional<std::string> ReadToolkitRoot() {
  registry::Key key;
  if (Failed(registry::Key::Open(kConfigKey, &key))) return std::nullopt;
  std::string root;
  if (Failed(key.QueryString(kRootDirValue, &root))) return std::nullopt;
  root = CutAtNul(std::move(root));
  if (root.empty()) return std::nullopt;
  root = NormaliseRoot(std::move(root));
  RegisterStorageRoot(root);
  return root;
}

bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string StorageLayout::XmlFileName(std::string_view id) {
  return std::string(id) + "." + kXmlExtension;
}

std::string StorageLayout::InboxFile(std::string_view id) const {
  return InboxDir() + XmlFileName(id);
}

std::string StorageLayout::WithdrawnInboxFile(std::string_view id) const {
  return InboxDir() + "." + XmlFileName(id) + ".withdrawn";
}

std::string StorageLayout::RequestFile(std::string_view id) const {
  return RequestsDir() + XmlFileName(id);
}

std::string StorageLayout::RequestDir(std::string_view id) const {
  return RequestsDir() + std::string(id);
}

std::string StorageLayout::ReportFile(std::string_view id) const {
  return ReportsDir() + XmlFileName(id);
}

std::string StorageLayout::UserFilesDir(std::string_view user_id) const {
  return FilesDir() + std::string(user_id) + "/";
}

std::string ReportPathForRequestFile(std::string_view request_file) {
  std::string path(request_file);
  const std::string_view from = kRequestsDir;
  const std::string_view to = kReportsDir;
  // Only the directory that holds the request file is renamed, so a root whose
  // own path contains "Requests" keeps its name.
  const std::size_t last_slash = path.rfind('/');
  if (last_slash != std::string::npos && last_slash >= from.size()) {
    const std::size_t start = last_slash - from.size();
    if (path.compare(start, from.size(), from) == 0 && (start == 0 || path[start - 1] == '/')) {
      return path.replace(start, from.size(), to);
    }
  }
  // A request file elsewhere: every occurrence is replaced.
  for (std::size_t pos = path.find(from); pos != std::string::npos;
       pos = path.find(from, pos + to.size())) {
    path.replace(pos, from.size(), to);
  }
  return path;
}

}  // namespace ringwell
