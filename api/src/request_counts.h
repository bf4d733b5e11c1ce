// The requests of the storage root by status, as /metrics tells them, kept in
// memory. The report watcher keeps them up to date: a request's status is set
// whenever the watcher has read a changed report (the status the event hub
// found in it), a request whose file arrives in Inbox is waiting ("" here),
// and a request whose files are gone is forgotten. The first count (and one
// after the watcher lost track of changes) walks the listing index once, a
// page at a time, on a thread of its own; what the watcher sets meanwhile is
// newer than what the walk read and wins. Until the first count is over there
// are no figures. A scrape only copies a small map: it never reads a report
// and never waits on the listing.
//
// Thread-safety: every method may be called from any thread; one mutex, never
// held across a file or the listing.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "listing.h"

namespace ringwell::api {

class RequestCounts {
 public:
  // `index` must outlive this object (its count thread reads it).
  explicit RequestCounts(kel::client::RequestIndex& index);
  // Stops a count under way and waits for its thread.
  ~RequestCounts();
  RequestCounts(const RequestCounts&) = delete;
  RequestCounts& operator=(const RequestCounts&) = delete;

  // Request `id` has this status now ("" while it waits in Inbox).
  void Set(const std::string& id, const std::string& status);
  // Request `id` has no report and no request file any more.
  void Remove(const std::string& id);
  // The status last set or counted for `id`; nullopt when unknown.
  std::optional<std::string> StatusOf(const std::string& id);

  // Counts every request of the listing again on the count thread; when a
  // count is under way, another follows it.
  void Recount();
  // How many requests have each status ("" for waiting; a status once seen
  // stays, with 0); nullopt before the first count is over.
  std::optional<std::map<std::string, std::size_t>> ByStatus();

 private:
  struct Entry {
    std::optional<std::string> status;  // none: removed while a count walks
    std::uint64_t stamp = 0;            // when it was set (clock_)
  };
  void Run(std::stop_token stop);
  // One walk of the listing; false when stopped before its end.
  bool Count(std::stop_token stop);
  // With mutex_ held.
  void Put(const std::string& id, Entry entry);
  void Erase(std::unordered_map<std::string, Entry>::iterator at);

  kel::client::RequestIndex& index_;
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  std::map<std::string, std::size_t> by_status_;
  std::uint64_t clock_ = 0;
  std::optional<std::uint64_t> walk_started_;  // while a count walks
  bool counted_ = false;
  bool counting_ = false;
  bool again_ = false;
  std::jthread thread_;
};

}  // namespace ringwell::api
