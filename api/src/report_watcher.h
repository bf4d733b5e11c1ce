// Watches the storage root's Reports and Inbox directories with inotify and
// passes on every change: a report made or replaced (the report generator
// saves by rename) updates the request's journal (EventHub::Update) and the
// listing index; a request file arriving in or leaving Inbox updates the
// index. Each change also sets the request's status in the counts of
// /metrics (request_counts.h) from what was read anyway. When the kernel's
// queue overflows, everything is read again (and counted again). Every 15 s
// without a change it sends keep-alive comments to the event streams.
//
// Thread-safety: Start and the destructor belong to the thread that made the
// watcher; the work happens on its own thread.
#pragma once

#include <string>
#include <thread>

#include "event_hub.h"
#include "listing.h"
#include "request_counts.h"

namespace ringwell::api {

class ReportWatcher {
 public:
  // `counts` (kept up to date when given) must outlive the watcher.
  ReportWatcher(std::string root, EventHub& hub, kel::client::RequestIndex& index,
                RequestCounts* counts = nullptr);
  ~ReportWatcher();
  ReportWatcher(const ReportWatcher&) = delete;
  ReportWatcher& operator=(const ReportWatcher&) = delete;

  // Starts watching; false with `problem` when inotify cannot watch Reports.
  bool Start(std::string* problem);

 private:
  void Run(std::stop_token stop);
  bool AddWatches(std::string* problem);
  void Rescan();
  // Sets the status of `id` in counts_ after a change of its files; `state`
  // is what the hub read of a changed report.
  void Count(const std::string& id, const std::optional<JournalState>& state);

  const std::string root_;
  EventHub& hub_;
  kel::client::RequestIndex& index_;
  RequestCounts* counts_;
  int inotify_ = -1;
  int stop_fd_ = -1;
  int reports_watch_ = -1;
  int inbox_watch_ = -1;
  std::jthread thread_;
};

}  // namespace ringwell::api
