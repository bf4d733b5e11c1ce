// Watches the storage root's Reports and Inbox directories with inotify and
// passes on every change: a report made or replaced (the report generator
// saves by rename) updates the request's journal (EventHub::Update) and the
// listing index; a request file arriving in or leaving Inbox updates the
// index. When the kernel's queue overflows, everything is read again. Every
// 15 s without a change it sends keep-alive comments to the event streams.
//
// Thread-safety: Start and the destructor belong to the thread that made the
// watcher; the work happens on its own thread.
#pragma once

#include <string>
#include <thread>

#include "event_hub.h"
#include "listing.h"

namespace ringwell::api {

class ReportWatcher {
 public:
  ReportWatcher(std::string root, EventHub& hub, kel::client::RequestIndex& index);
  ~ReportWatcher();
  ReportWatcher(const ReportWatcher&) = delete;
  ReportWatcher& operator=(const ReportWatcher&) = delete;

  // Starts watching; false with `problem` when inotify cannot watch Reports.
  bool Start(std::string* problem);

 private:
  void Run(std::stop_token stop);
  bool AddWatches(std::string* problem);

  const std::string root_;
  EventHub& hub_;
  kel::client::RequestIndex& index_;
  int inotify_ = -1;
  int stop_fd_ = -1;
  int reports_watch_ = -1;
  int inbox_watch_ = -1;
  std::jthread thread_;
};

}  // namespace ringwell::api
