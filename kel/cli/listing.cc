#include "listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <pugixml.hpp>
#include <unordered_set>

#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "toolkit.h"

namespace ringwell::kel::cli {
namespace {

constexpr std::size_t kMaxReportBytes = 64u << 20;
constexpr std::size_t kRequestHeadBytes = 4096;  // StartTime and StopTime come first

struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// Reads at most `limit` bytes of the file `name` in directory `dir`, refusing
// links; nullopt when it cannot be opened.
std::optional<std::string> ReadAt(int dir, const std::string& name, std::size_t limit) {
  Fd file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (file.fd < 0) return std::nullopt;
  std::string content;
  char buffer[16384];
  while (content.size() < limit) {
    const ssize_t got = ::read(file.fd, buffer, std::min(sizeof buffer, limit - content.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  return content;
}

struct Entry {
  std::string id;
  Moment changed;
  bool waiting = false;  // in Inbox, no report yet
};

Moment ChangedAt(const struct stat& status) {
  return Moment(std::chrono::seconds(status.st_mtim.tv_sec) +
                std::chrono::milliseconds(status.st_mtim.tv_nsec / 1000000));
}

// The reports in `dir`, with their last change.
std::vector<Entry> ReportEntries(int dir) {
  std::vector<Entry> entries;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(::dup(dir)), &::closedir);
  if (!listing) return entries;
  while (const dirent* found = ::readdir(listing.get())) {
    const std::string_view name = found->d_name;
    if (name.size() <= 4 || name.substr(name.size() - 4) != ".xml") continue;
    if (found->d_type != DT_REG && found->d_type != DT_UNKNOWN) continue;
    struct stat status {};
    if (::fstatat(dir, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
      continue;
    }
    entries.push_back({std::string(name.substr(0, name.size() - 4)), ChangedAt(status)});
  }
  return entries;
}

// The base names of the request files in `directory`.
std::unordered_set<std::string> RequestFiles(const std::string& directory) {
  std::unordered_set<std::string> ids;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory.c_str()), &::closedir);
  if (!listing) return ids;
  while (const dirent* found = ::readdir(listing.get())) {
    const std::string_view name = found->d_name;
    if (name.size() > 4 && name.substr(name.size() - 4) == ".xml") {
      ids.emplace(name.substr(0, name.size() - 4));
    }
  }
  return ids;
}

// The text of the first element `name` in `head` (a request file's start).
std::optional<OleDate> TimeElement(const std::string& head, std::string_view name) {
  const std::string open = "<" + std::string(name);
  std::size_t at = head.find(open);
  while (at != std::string::npos && head.size() > at + open.size() &&
         head[at + open.size()] != '>' && head[at + open.size()] != ' ') {
    at = head.find(open, at + 1);
  }
  if (at == std::string::npos) return std::nullopt;
  const std::size_t begin = head.find('>', at);
  const std::size_t end = begin == std::string::npos ? begin : head.find('<', begin);
  if (end == std::string::npos) return std::nullopt;
  return OleDateFromIso(std::string_view(head).substr(begin + 1, end - begin - 1));
}

void ReadWindow(const std::string& path, ListedRequest& request) {
  const auto head = ReadAt(AT_FDCWD, path, kRequestHeadBytes);
  if (!head) return;
  request.start = TimeElement(*head, "StartTime");
  request.stop = TimeElement(*head, "StopTime");
}

void ReadReport(int dir, ListedRequest& request) {
  auto content = ReadAt(dir, StorageLayout::XmlFileName(request.id), kMaxReportBytes);
  pugi::xml_document document;
  if (!content ||
      !document.load_buffer_inplace(content->data(), content->size(), pugi::parse_minimal)) {
    request.status = "?";
    return;
  }
  const pugi::xml_node report = document.first_child();
  request.type = report.attribute("Type").value();
  request.status = report.attribute("Status").value();
  for (pugi::xml_node sub = report.child("SubReport"); sub; sub = sub.next_sibling("SubReport")) {
    ++request.total;
    if (IsFinalRecipientStatus(sub.attribute("Status").value())) ++request.done;
  }
}

// A request still in Inbox, before the daemon made its report: the type and
// recipients from the request file itself.
void ReadWaiting(const std::string& path, ListedRequest& request) {
  const auto content = ReadAt(AT_FDCWD, path, kMaxReportBytes);
  pugi::xml_document document;
  if (!content || !document.load_buffer(content->data(), content->size(), pugi::parse_minimal)) {
    request.status = "?";
    return;
  }
  const pugi::xml_node root = document.first_child();
  request.type = root.attribute("Type").value();
  for (pugi::xml_node r = root.child("Recipients").child("Recipient"); r;
       r = r.next_sibling("Recipient")) {
    ++request.total;
  }
  request.start = OleDateFromIso(root.child("StartTime").text().get());
  request.stop = OleDateFromIso(root.child("StopTime").text().get());
}

bool Wanted(const std::string& status, const std::vector<std::string>& statuses) {
  if (statuses.empty()) return true;
  return std::any_of(statuses.begin(), statuses.end(),
                     [&](const std::string& wanted) { return EqualsIgnoringCase(wanted, status); });
}

}  // namespace

bool IsFinalRecipientStatus(const std::string& status) {
  return !status.empty() && status != "Processing" && status != "Scheduled" &&
         status != "InProgress";
}

std::vector<ListedRequest> ListRequests(const std::string& root,
                                        const std::vector<std::string>& statuses,
                                        std::size_t limit) {
  const StorageLayout layout{root};
  // Without its "/", so that O_NOFOLLOW refuses a link in its place.
  std::string reports = layout.ReportsDir();
  reports.pop_back();
  Fd dir(::open(reports.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.fd < 0) throw Failure(E_FAIL, "cannot read " + reports + ": " + std::strerror(errno));
  std::vector<Entry> entries = ReportEntries(dir.fd);
  const auto waiting = RequestFiles(layout.InboxDir());
  if (!waiting.empty()) {
    std::unordered_set<std::string> reported;
    for (const Entry& entry : entries) reported.insert(entry.id);
    for (const std::string& id : waiting) {
      struct stat status {};
      if (reported.count(id) == 0 && IsPlainName(id) &&
          ::lstat(layout.InboxFile(id).c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        entries.push_back({id, ChangedAt(status), true});
      }
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.changed != b.changed ? a.changed > b.changed : a.id < b.id;
  });
  const auto scheduled = RequestFiles(layout.RequestsDir());

  std::vector<ListedRequest> listed;
  for (Entry& entry : entries) {
    if (limit != 0 && listed.size() >= limit) break;
    ListedRequest request;
    request.id = std::move(entry.id);
    request.changed = entry.changed;
    if (entry.waiting) {
      ReadWaiting(layout.InboxFile(request.id), request);
      if (Wanted(request.status, statuses)) listed.push_back(std::move(request));
      continue;
    }
    ReadReport(dir.fd, request);
    if (!Wanted(request.status, statuses)) continue;
    if (scheduled.count(request.id) != 0) {
      ReadWindow(layout.RequestFile(request.id), request);
    } else if (waiting.count(request.id) != 0) {
      ReadWindow(layout.InboxFile(request.id), request);
    }
    listed.push_back(std::move(request));
  }
  return listed;
}

}  // namespace ringwell::kel::cli
