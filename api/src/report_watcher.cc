#include "report_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "ringwell/common/storage.h"

namespace ringwell::api {
namespace {

constexpr std::uint32_t kMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr int kKeepAliveMs = 15000;
constexpr auto kLookEvery = std::chrono::seconds(1);  // shared root

// The request ID of a request or report file name ("ID.xml"), or empty.
std::string IdOf(const char* name) {
  const std::string_view text = name;
  if (text.size() <= 4 || text.substr(text.size() - 4) != ".xml" || text.front() == '.') {
    return {};
  }
  return std::string(text.substr(0, text.size() - 4));
}

// The status a counted request has after the hub read its report: "?" when
// no reading of it ever succeeded (as the listing shows an unreadable report).
std::string CountedStatus(const JournalState& state) {
  return state.last_seq == 0 ? "?" : state.request_status;
}

bool RegularFile(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

}  // namespace

ReportWatcher::ReportWatcher(std::string root, EventHub& hub, kel::client::RequestIndex& index,
                             RequestCounts* counts)
    : root_(std::move(root)), hub_(hub), index_(index), counts_(counts) {}

ReportWatcher::~ReportWatcher() {
  if (thread_.joinable()) {
    thread_.request_stop();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stop_fd_, &one, sizeof one);
    thread_.join();
  }
  if (inotify_ >= 0) ::close(inotify_);
  if (stop_fd_ >= 0) ::close(stop_fd_);
}

bool ReportWatcher::AddWatches(std::string* problem) {
  reports_watch_ = inotify_add_watch(inotify_, (root_ + kReportsDir).c_str(),
                                     kMask | IN_ONLYDIR | IN_DONT_FOLLOW);
  if (reports_watch_ < 0) {
    *problem = "cannot watch " + root_ + kReportsDir + ": " + std::strerror(errno);
    return false;
  }
  inbox_watch_ =
      inotify_add_watch(inotify_, (root_ + kInboxDir).c_str(), kMask | IN_ONLYDIR | IN_DONT_FOLLOW);
  return true;
}

void ReportWatcher::Look(Listing& listing, bool pass) {
  struct stat status {};
  if (::stat(listing.directory.c_str(), &status) != 0) return;
  const std::int64_t stamp = std::max(Nanoseconds(status.st_mtim), Nanoseconds(status.st_ctim));
  if (stamp == listing.stamp && !listing.again) return;
  // A change made within the same tick of the clock as this reading, after
  // it, leaves the stamp as it is: the next look lists the directory again.
  listing.again = stamp != listing.stamp;
  listing.stamp = stamp;
  std::map<std::string, std::string> files;
  DIR* directory = ::opendir(listing.directory.c_str());
  if (directory == nullptr) return;
  const int fd = ::dirfd(directory);
  while (const dirent* entry = ::readdir(directory)) {
    const std::string id = IdOf(entry->d_name);
    if (id.empty() || !IsPlainName(id)) continue;
    struct stat file {};
    if (::fstatat(fd, entry->d_name, &file, AT_SYMLINK_NOFOLLOW) != 0) continue;
    files[id] = std::to_string(file.st_ino) + " " + std::to_string(file.st_size) + " " +
                std::to_string(Nanoseconds(file.st_mtim)) + " " +
                std::to_string(Nanoseconds(file.st_ctim));
  }
  ::closedir(directory);
  if (pass) {
    for (const auto& [id, stamps] : files) {
      const auto known = listing.files.find(id);
      if (known == listing.files.end() || known->second != stamps) Pass(id, listing.reports);
    }
    for (const auto& [id, stamps] : listing.files) {
      if (!files.contains(id)) Pass(id, false);
    }
  }
  listing.files = std::move(files);
}

void ReportWatcher::Pass(const std::string& id, bool written) {
  index_.Refresh(id);
  std::optional<JournalState> state;
  if (written) state = hub_.Update(id);
  if (counts_ != nullptr) Count(id, state);
}

bool ReportWatcher::Start(std::string* problem) {
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (inotify_ < 0 || stop_fd_ < 0) {
    *problem = std::string("cannot use inotify: ") + std::strerror(errno);
    return false;
  }
  if (!AddWatches(problem)) return false;
  if (shared_) {
    // What is there now is read at start (the hub's CatchUp, the counts'
    // Recount); a look passes on what changes from here on.
    reports_listing_.directory = root_ + kReportsDir;
    reports_listing_.reports = true;
    inbox_listing_.directory = root_ + kInboxDir;
    Look(reports_listing_, false);
    Look(inbox_listing_, false);
  }
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  return true;
}

void ReportWatcher::Rescan() {
  try {
    index_.Rescan();
  } catch (const std::exception&) {
    // Reports cannot be listed: looked at again once it is watched again.
  }
  hub_.CatchUp();
  if (counts_ != nullptr) counts_->Recount();
}

void ReportWatcher::Count(const std::string& id, const std::optional<JournalState>& state) {
  if (state) return counts_->Set(id, CountedStatus(*state));
  if (RegularFile(root_ + kReportsDir + "/" + id + ".xml")) {
    // Its request file came or went: the report's status stays, unless only
    // the request file was known so far.
    const std::optional<std::string> known = counts_->StatusOf(id);
    if (known && !known->empty()) return counts_->Set(id, *known);
    if (const auto updated = hub_.Update(id)) return counts_->Set(id, CountedStatus(*updated));
  }
  if (RegularFile(root_ + kInboxDir + "/" + id + ".xml")) return counts_->Set(id, "");
  counts_->Remove(id);
}

void ReportWatcher::Run(std::stop_token stop) {
  alignas(inotify_event) char buffer[64 * 1024];
  auto last_keep_alive = std::chrono::steady_clock::now();
  auto last_look = last_keep_alive;
  while (!stop.stop_requested()) {
    pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, shared_ ? 500 : 1000);
    if (stop.stop_requested()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_keep_alive >= std::chrono::milliseconds(kKeepAliveMs)) {
      hub_.KeepAlive();
      last_keep_alive = now;
    }
    if (shared_ && now - last_look >= kLookEvery) {
      Look(reports_listing_, true);
      Look(inbox_listing_, true);
      last_look = now;
    }
    if (reports_watch_ < 0) {
      // Reports was removed (or moved): watch it again once it is back.
      std::string problem;
      if (AddWatches(&problem)) Rescan();
    }
    if (ready <= 0 || (fds[0].revents & POLLIN) == 0) continue;
    for (;;) {
      const ssize_t length = ::read(inotify_, buffer, sizeof buffer);
      if (length <= 0) break;
      for (char* at = buffer; at < buffer + length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        at += sizeof(inotify_event) + event->len;
        if (event->mask & IN_Q_OVERFLOW) {
          Rescan();
          continue;
        }
        if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          if (event->wd == reports_watch_) reports_watch_ = -1;
          if (event->wd == inbox_watch_) inbox_watch_ = -1;
          continue;
        }
        if (event->len == 0) continue;
        const std::string id = IdOf(event->name);
        if (id.empty() || !IsPlainName(id)) continue;
        Pass(id, event->wd == reports_watch_ && (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)));
      }
    }
  }
}

}  // namespace ringwell::api
