// RequestIndex (listing.h): what is known of each request, ordered newest
// change first; and ListRequests, the same listing read once.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "listing.h"
#include "listing_files.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "toolkit.h"

namespace ringwell::kel::client {
namespace {

using listing_files::ChangedAt;
using listing_files::RegularFileAt;

int OpenDirectory(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The base names of the "*.xml" entries of directory `dir`.
std::vector<std::string> XmlNames(int dir) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(::dup(dir)), &::closedir);
  if (!listing) return names;
  while (const dirent* found = ::readdir(listing.get())) {
    const std::string_view name = found->d_name;
    if (name.size() <= 4 || name.substr(name.size() - 4) != ".xml") continue;
    if (found->d_type != DT_REG && found->d_type != DT_UNKNOWN) continue;
    names.emplace_back(name.substr(0, name.size() - 4));
  }
  return names;
}

bool Wanted(const std::string& value, const std::vector<std::string>& wanted) {
  return wanted.empty() || std::any_of(wanted.begin(), wanted.end(), [&](const std::string& w) {
           return EqualsIgnoringCase(w, value);
         });
}

// Walks the listing from `it` (the first request after the query's cursor),
// asking `summarise(it)` for each request's summary and whether it waits in
// Inbox, until the page is full and one more request matches.
template <class It, class Summarise>
ListPage Collect(It it, It end, const ListQuery& query, Summarise summarise,
                 std::vector<bool>* waiting) {
  ListPage page;
  for (; it != end; ++it) {
    const auto [request, in_inbox] = summarise(it);
    if (!Wanted(request->status, query.statuses) || !Wanted(request->type, query.types)) continue;
    if (query.limit != 0 && page.requests.size() == query.limit) {
      page.next = ListingCursor{page.requests.back().changed, page.requests.back().id};
      break;
    }
    page.requests.push_back(*request);
    waiting->push_back(in_inbox);
  }
  return page;
}

// The window is the request file's, which goes when the request is done:
// read for each page, never kept.
void AddWindows(const std::string& root, const std::vector<bool>& waiting, ListPage& page) {
  for (std::size_t i = 0; i < page.requests.size(); ++i) {
    if (!waiting[i]) listing_files::ReadWindow(root, page.requests[i]);
  }
}

}  // namespace

bool RequestIndex::Stamp::operator==(const Stamp& other) const {
  return file == other.file && waiting == other.waiting;
}

namespace {

// Every report and every request waiting in Inbox below `root`, unordered.
template <class Stamp>
std::vector<std::pair<std::string, Stamp>> ScanRoot(const std::string& root) {
  const std::string reports_path = root + kReportsDir;
  UniqueFd reports(OpenDirectory(reports_path));
  if (reports.get() < 0) {
    throw Failure(E_FAIL, "cannot read " + reports_path + ": " + std::strerror(errno));
  }
  std::vector<std::pair<std::string, Stamp>> found;
  struct stat status {};
  auto stamp = [&](bool waiting) { return Stamp{ChangedAt(status), StampOf(status), waiting}; };
  for (std::string& id : XmlNames(reports.get())) {
    if (RegularFileAt(reports.get(), id + ".xml", &status)) {
      found.emplace_back(std::move(id), stamp(false));
    }
  }
  UniqueFd inbox(OpenDirectory(root + kInboxDir));
  const std::vector<std::string> waiting =
      inbox.get() >= 0 ? XmlNames(inbox.get()) : std::vector<std::string>{};
  if (!waiting.empty()) {
    std::unordered_set<std::string> reported;
    for (const auto& entry : found) reported.insert(entry.first);
    for (const std::string& id : waiting) {
      if (reported.count(id) == 0 && IsPlainName(id) &&
          RegularFileAt(inbox.get(), id + ".xml", &status)) {
        found.emplace_back(id, stamp(true));
      }
    }
  }
  return found;
}

// The summary of request `id` read from its report (or its inbox file).
ListedRequest ReadSummary(const std::string& root, int reports, const std::string& id,
                          Moment changed, bool waiting) {
  ListedRequest request;
  request.id = id;
  request.changed = changed;
  if (waiting) {
    listing_files::ReadWaiting(root + kInboxDir + "/" + id + ".xml", request);
  } else {
    listing_files::ReadReport(reports, request);
  }
  return request;
}

}  // namespace

RequestIndex::RequestIndex(std::string root) : root_(std::move(root)) { Rescan(); }

void RequestIndex::Rescan() {
  auto found = ScanRoot<Stamp>(root_);
  std::lock_guard lock(mutex_);
  std::unordered_map<std::string, Item> items;
  items.reserve(found.size());
  for (auto& [id, stamp] : found) {
    Item item{stamp, std::nullopt};
    const auto known = items_.find(id);
    if (known != items_.end() && known->second.stamp == stamp) {
      item.summary = std::move(known->second.summary);
    }
    items.emplace(std::move(id), std::move(item));
  }
  order_.clear();
  items_ = std::move(items);
  std::vector<Key> keys;
  keys.reserve(items_.size());
  for (const auto& [id, item] : items_) keys.push_back({item.stamp.changed, &id});
  std::sort(keys.begin(), keys.end(), NewerFirst());
  for (const Key& key : keys) order_.insert(order_.end(), key);  // in order: no search
}

void RequestIndex::Refresh(const std::string& id) {
  if (!IsPlainName(id)) return;
  struct stat status {};
  bool waiting = false;
  if (::lstat((root_ + kReportsDir + "/" + id + ".xml").c_str(), &status) != 0 ||
      !S_ISREG(status.st_mode)) {
    waiting = ::lstat((root_ + kInboxDir + "/" + id + ".xml").c_str(), &status) == 0 &&
              S_ISREG(status.st_mode);
    if (!waiting) {
      std::lock_guard lock(mutex_);
      Drop(id);
      return;
    }
  }
  const Stamp stamp{ChangedAt(status), StampOf(status), waiting};
  std::lock_guard lock(mutex_);
  const auto known = items_.find(id);
  if (known != items_.end() && known->second.stamp == stamp) return;
  Drop(id);
  Put(id, {stamp, std::nullopt});
}

void RequestIndex::Put(const std::string& id, Item item) {
  const auto [at, added] = items_.insert_or_assign(id, std::move(item));
  order_.insert({at->second.stamp.changed, &at->first});
}

void RequestIndex::Drop(const std::string& id) {
  const auto known = items_.find(id);
  if (known == items_.end()) return;
  order_.erase(Key{known->second.stamp.changed, &known->first});
  items_.erase(known);
}

const ListedRequest& RequestIndex::Summary(const std::string& id, Item& item) {
  if (!item.summary) {
    UniqueFd reports(item.stamp.waiting ? -1 : OpenDirectory(root_ + kReportsDir));
    item.summary = ReadSummary(root_, reports.get(), id, item.stamp.changed, item.stamp.waiting);
  }
  return *item.summary;
}

ListPage RequestIndex::Page(const ListQuery& query) {
  std::vector<bool> waiting;
  ListPage page;
  {
    std::lock_guard lock(mutex_);
    page = Collect(
        query.after ? order_.upper_bound(*query.after) : order_.begin(), order_.end(), query,
        [&](auto it) {
          Item& item = items_.at(*it->id);
          return std::pair{&Summary(*it->id, item), item.stamp.waiting};
        },
        &waiting);
  }
  AddWindows(root_, waiting, page);
  return page;
}

std::map<std::string, std::size_t> RequestIndex::CountByStatus() {
  std::map<std::string, std::size_t> counts;
  std::lock_guard lock(mutex_);
  for (auto& [id, item] : items_) ++counts[Summary(id, item).status];
  return counts;
}

ListPage ListRequests(const std::string& root, const ListQuery& query) {
  using Stamp = RequestIndex::Stamp;
  auto found = ScanRoot<Stamp>(root);
  const auto before = [](const auto& a, const auto& b) {
    return RequestIndex::NewerFirst::Before(a.second.changed, a.first, b.second.changed, b.first);
  };
  std::sort(found.begin(), found.end(), before);
  auto start = found.begin();
  if (query.after) {
    start = std::upper_bound(found.begin(), found.end(), *query.after,
                             [](const ListingCursor& cursor, const auto& entry) {
                               return RequestIndex::NewerFirst::Before(
                                   cursor.changed, cursor.id, entry.second.changed, entry.first);
                             });
  }
  UniqueFd reports(OpenDirectory(root + kReportsDir));
  ListedRequest current;
  std::vector<bool> waiting;
  ListPage page = Collect(
      start, found.end(), query,
      [&](auto it) {
        current =
            ReadSummary(root, reports.get(), it->first, it->second.changed, it->second.waiting);
        return std::pair{&current, it->second.waiting};
      },
      &waiting);
  AddWindows(root, waiting, page);
  return page;
}

}  // namespace ringwell::kel::client
