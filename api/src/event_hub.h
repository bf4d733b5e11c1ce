// The API's events: for each request a journal under the storage root
// (event_journal.h), kept up to date from the reports, and the listeners of
// each request's events (Server-Sent Events streams, the callback sender).
//
// Update(id) reads the request's report through the toolkit, compares it with
// what its journal tells, appends the new events and hands them to the
// request's streams; the report watcher calls it for every change of a report
// it sees (inotify), and CatchUp calls it at start for every journaled report
// that changed while the API was down (its modification time differs from the
// one the journal last recorded), so a restart loses no event and callbacks go
// on. A request nobody asked about yet (submitted with kel, say, before the API
// ran) gets its journal when someone follows its events, or at once when it
// has status callbacks to deliver: start-up reads no report it need not read.
//
// Several API instances on one storage root (ShareRoot): each update of a
// journal also holds the journal's byte of Events/.lock (DirectoryLock) and
// reads the journal again when another instance appended to it, so the
// events of a change are appended once, whichever instances see it; the
// events another instance appended are then handed to this instance's
// streams (each instance's watcher sees every change of a report).
//
// Thread-safety: every method may be called from any thread. Each request has
// a lock of its own, held while its report is read and its journal written
// (so two requests never wait on each other) and while a stream of it is
// registered, so a stream misses no event between its replay and its
// registration; a small lock guards only the table of requests. Reports are
// read with the calling thread's own toolkit object.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "event_channel.h"
#include "event_journal.h"
#include "ringwell/common/thread_annotations.h"

namespace ringwell {
class CEventLog;
}

namespace ringwell::api {

class EventHub {
 public:
  // `root` ends with "/"; `log` receives failures to write a journal.
  EventHub(std::string root, const CEventLog& log);

  // Brings the journal of `id` up to date with its report; the state after.
  // nullopt when the request has no report (yet).
  std::optional<JournalState> Update(const std::string& id);
  // Update for every report changed since its journal's last event, and for
  // every report with callbacks but no journal yet. Returns how many were
  // updated.
  std::size_t CatchUp();

  // Streams `id`'s events after `after` into `channel`, then every new one;
  // the channel is finished after the event that finishes the request.
  void Subscribe(const std::string& id, std::uint64_t after, std::shared_ptr<EventChannel> channel);
  // Sends a comment to every stream (so a client that left is noticed) and
  // forgets the streams whose clients left.
  void KeepAlive();
  std::size_t StreamCount();

  // Called (under no lock of the hub) with the ID and the last event's seq
  // after each Update that appended events (written to disk by then). Set
  // before the first Update.
  void OnEvents(std::function<void(const std::string&, std::uint64_t)> listener);
  // Other instances write the journals too (see above). Set before the first
  // Update.
  void ShareRoot() { shared_ = true; }

 private:
  struct Stream {
    std::uint64_t next = 1;  // the first event it has not had
    std::shared_ptr<EventChannel> channel;
  };
  // One request: its journal's state and its streams, under its own mutex.
  struct Entry {
    Mutex mutex;
    // taken out of the table: look it up again
    bool retired RINGWELL_GUARDED_BY(mutex) = false;
    std::optional<JournalState> state RINGWELL_GUARDED_BY(mutex);
    std::vector<Stream> streams RINGWELL_GUARDED_BY(mutex);
    std::int64_t journal_size RINGWELL_GUARDED_BY(mutex) = -1;  // when `state` was right
  };
  // The entry of `id`, locked (made when unknown).
  std::pair<std::shared_ptr<Entry>, std::unique_lock<std::mutex>> Lock(const std::string& id);
  // Forgets a finished request without streams (its entry locked by the caller).
  void Retire(const std::string& id, Entry& entry) RINGWELL_REQUIRES(entry.mutex);
  std::optional<JournalState> UpdateLocked(const std::string& id, Entry& entry)
      RINGWELL_REQUIRES(entry.mutex);
  std::optional<JournalState> UpdateJournal(const std::string& id, Entry& entry)
      RINGWELL_REQUIRES(entry.mutex);
  JournalState& StateOf(const std::string& id, Entry& entry) RINGWELL_REQUIRES(entry.mutex);
  // Hands the journal's events the streams have not had to them (events
  // another instance appended).
  void Forward(const std::string& id, Entry& entry) RINGWELL_REQUIRES(entry.mutex);

  const std::string root_;
  const CEventLog& log_;
  bool shared_ = false;
  std::function<void(const std::string&, std::uint64_t)> listener_;
  Mutex table_mutex_;  // never held across a file
  // Requests read or written since the start (unfinished ones and those with
  // streams; a finished one is read again when needed).
  std::map<std::string, std::shared_ptr<Entry>> entries_ RINGWELL_GUARDED_BY(table_mutex_);
};

}  // namespace ringwell::api
