// Watches the storage root's Reports and Inbox directories with inotify and
// passes on every change: a report made or replaced (the report generator
// saves by rename) updates the request's journal (EventHub::Update) and the
// listing index; a request file arriving in or leaving Inbox updates the
// index. Each change also sets the request's status in the counts of
// /metrics (request_counts.h) from what was read anyway. When the kernel's
// queue overflows, everything is read again (and counted again). Every 15 s
// without a change it sends keep-alive comments to the event streams.
//
// On a storage root shared by several boxes (ShareRoot), inotify does not
// see what the other boxes change: every second the watcher also reads the
// stamps of both directories and, when one changed, lists it and reads the
// stamps of its files (inode, size, times), passing on every file that came,
// changed or went as if inotify had told it (a change seen both ways is
// passed on twice, which changes nothing).
//
// Thread-safety: Start and the destructor belong to the thread that made the
// watcher; the work happens on its own thread.
#pragma once

#include <cstdint>
#include <map>
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

  // Other boxes change the files too; called before Start.
  void ShareRoot() { shared_ = true; }
  // Starts watching; false with `problem` when inotify cannot watch Reports.
  bool Start(std::string* problem);

 private:
  void Run(std::stop_token stop);
  bool AddWatches(std::string* problem);
  void Rescan();
  // Sets the status of `id` in counts_ after a change of its files; `state`
  // is what the hub read of a changed report.
  void Count(const std::string& id, const std::optional<JournalState>& state);
  // A change of `id`'s files; `written`: its report was made or replaced.
  void Pass(const std::string& id, bool written);
  // The stamps of one directory's files, by request ID, as last listed.
  struct Listing {
    std::string directory;
    bool reports = false;
    std::int64_t stamp = -1;  // the directory's change time, nanoseconds
    bool again = false;       // list once more: changed within the stamp's tick
    std::map<std::string, std::string> files;
  };
  // Lists `listing` when its directory changed, passing on what did.
  void Look(Listing& listing, bool pass);

  const std::string root_;
  EventHub& hub_;
  kel::client::RequestIndex& index_;
  RequestCounts* counts_;
  int inotify_ = -1;
  int stop_fd_ = -1;
  int reports_watch_ = -1;
  int inbox_watch_ = -1;
  bool shared_ = false;
  Listing reports_listing_, inbox_listing_;  // shared root; the thread's after Start
  std::jthread thread_;
};

}  // namespace ringwell::api
