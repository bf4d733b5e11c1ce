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
// Thread-safety: every method may be called from any thread; one mutex makes
// the journal writes of all requests one after the other, and a stream is
// registered under it, so it misses no event between its replay and its
// registration. Reports are read with the calling thread's own toolkit object.
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

  // Called (under no lock of the hub) with the ID after each Update that
  // appended events.
  void OnEvents(std::function<void(const std::string&)> listener);

 private:
  std::optional<JournalState> UpdateLocked(const std::string& id);
  JournalState& StateOf(const std::string& id);

  const std::string root_;
  const CEventLog& log_;
  std::function<void(const std::string&)> listener_;
  std::mutex mutex_;
  // The state of each journal read or written since the start (unfinished
  // requests; a finished one is read again when needed).
  std::map<std::string, JournalState> states_;
  struct Stream {
    std::uint64_t next = 1;  // the first event it has not had
    std::shared_ptr<EventChannel> channel;
  };
  std::multimap<std::string, Stream> streams_;
};

}  // namespace ringwell::api
