#include "request_watcher.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "ringwell/common/safe_files.h"

namespace ringwell::host {

bool IsRequestFileName(std::string_view name) {
  return name.size() > 4 && name.front() != '.' && name.ends_with(".xml");
}

RequestWatcher::RequestWatcher(std::string directory) : directory_(std::move(directory)) {
  std::error_code ec;
  std::filesystem::create_directories(directory_, ec);
  if (ec) throw std::runtime_error("cannot make " + directory_ + ": " + ec.message());
  inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_fd_ >= 0 &&
      ::inotify_add_watch(inotify_fd_, directory_.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    ::close(std::exchange(inotify_fd_, -1));
  }
}

RequestWatcher::~RequestWatcher() {
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
}

std::vector<std::string> RequestWatcher::Existing() {
  std::vector<std::string> paths;
  std::set<std::string> names;
  std::vector<DirectoryEntry> entries;
  ListDirectory(directory_, &entries);
  for (DirectoryEntry& entry : entries) {
    // A link is never handed over.
    if (entry.type == DirectoryEntry::Type::kFile && IsRequestFileName(entry.name)) {
      names.insert(std::move(entry.name));
    }
  }
  for (const std::string& name : names) paths.push_back(directory_ + name);
  seen_ = std::move(names);
  return paths;
}

std::vector<std::string> RequestWatcher::Appeared() {
  if (inotify_fd_ < 0) {
    const std::set<std::string> before = seen_;
    std::vector<std::string> fresh;
    for (std::string& path : Existing()) {
      if (!before.contains(path.substr(directory_.size()))) fresh.push_back(std::move(path));
    }
    return fresh;
  }
  std::vector<std::string> paths;
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    const ssize_t length = ::read(inotify_fd_, buffer, sizeof buffer);
    if (length <= 0) break;
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) return Existing();
      const std::string name = event->len > 0 ? event->name : "";
      struct stat st {};
      if (IsRequestFileName(name) && Succeeded(LinkStatus(directory_ + name, &st)) &&
          S_ISREG(st.st_mode)) {
        paths.push_back(directory_ + name);
      }
    }
  }
  return paths;
}

}  // namespace ringwell::host
