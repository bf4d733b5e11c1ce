#include "request_counts.h"

#include <vector>

namespace ringwell::api {
namespace {

// Requests read from the listing per turn (the listing's lock is held while
// it reads the reports of a turn it had not read yet).
constexpr std::size_t kWalkPage = 200;

}  // namespace

RequestCounts::RequestCounts(kel::client::RequestIndex& index) : index_(index) {}

RequestCounts::~RequestCounts() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void RequestCounts::Put(const std::string& id, Entry entry) {
  auto [at, added] = entries_.try_emplace(id);
  if (!added && at->second.status) --by_status_[*at->second.status];
  if (entry.status) ++by_status_[*entry.status];
  at->second = std::move(entry);
}

void RequestCounts::Erase(std::unordered_map<std::string, Entry>::iterator at) {
  if (at->second.status) --by_status_[*at->second.status];
  entries_.erase(at);
}

void RequestCounts::Set(const std::string& id, const std::string& status) {
  std::lock_guard lock(mutex_);
  Put(id, {status, ++clock_});
}

void RequestCounts::Remove(const std::string& id) {
  std::lock_guard lock(mutex_);
  if (walk_started_) {
    // Kept as removed, so that the walk does not count it from an older page.
    Put(id, {std::nullopt, ++clock_});
  } else if (const auto at = entries_.find(id); at != entries_.end()) {
    Erase(at);
  }
}

std::optional<std::string> RequestCounts::StatusOf(const std::string& id) {
  std::lock_guard lock(mutex_);
  const auto at = entries_.find(id);
  if (at == entries_.end()) return std::nullopt;
  return at->second.status;
}

std::optional<std::map<std::string, std::size_t>> RequestCounts::ByStatus() {
  std::lock_guard lock(mutex_);
  if (!counted_) return std::nullopt;
  return by_status_;
}

void RequestCounts::Recount() {
  std::lock_guard lock(mutex_);
  if (counting_) {
    again_ = true;
    return;
  }
  counting_ = true;
  // A thread of an earlier count has nothing left to do but return.
  if (thread_.joinable()) thread_.join();
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void RequestCounts::Run(std::stop_token stop) {
  for (;;) {
    const bool whole = Count(stop);
    std::lock_guard lock(mutex_);
    counted_ = counted_ || whole;
    if (!whole || !again_) {
      counting_ = false;
      return;
    }
    again_ = false;
  }
}

bool RequestCounts::Count(std::stop_token stop) {
  std::uint64_t started = 0;
  {
    std::lock_guard lock(mutex_);
    started = ++clock_;
    walk_started_ = started;
  }
  kel::client::ListQuery query;
  query.limit = kWalkPage;
  bool whole = false;
  for (;;) {
    if (stop.stop_requested()) break;
    kel::client::ListPage page;
    try {
      page = index_.Page(query);
    } catch (const std::exception&) {
      break;  // counted again when the watcher finds Reports again
    }
    std::lock_guard lock(mutex_);
    for (const kel::client::ListedRequest& request : page.requests) {
      // What was set since the walk started is newer than this page.
      if (const auto at = entries_.find(request.id);
          at != entries_.end() && at->second.stamp > started) {
        continue;
      }
      Put(request.id, {request.status, started});
    }
    if (!page.next) {
      whole = true;
      break;
    }
    query.after = page.next;
  }
  std::lock_guard lock(mutex_);
  for (auto at = entries_.begin(); at != entries_.end();) {
    // Not in the listing and not set since the walk started: gone. Removed
    // ones are no longer needed once the walk is over.
    const bool gone = whole && at->second.stamp < started;
    if (gone || !at->second.status) {
      Erase(at++);
    } else {
      ++at;
    }
  }
  walk_started_.reset();
  return whole;
}

}  // namespace ringwell::api
