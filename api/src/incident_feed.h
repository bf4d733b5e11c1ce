// The changes of the incidents as one stream of events (Server-Sent Events
// at GET /v1/incidents/events): each entry added to an incident's timeline
// ("opened", "step", "called", "no answer", "escalated", "acknowledged",
// "resolved", ...) becomes one event of type "incident", numbered from 1
// across all incidents, with the incident as it is after the change:
//
//   id: 42
//   event: incident
//   data: {"seq": 42, "type": "incident", "change": "acknowledged",
//          "time": "2026-12-08T14:02:11Z", "text": "acknowledged by bob (key 1)",
//          "incident": {...the incident without its timeline...}}
//
// The events are appended to Events/incidents/feed.jsonl below the storage
// root (flushed to disk before they are sent), so numbers go on across a
// restart and a client resumes with Last-Event-ID. The file keeps the last
// kKeptEvents events at least (it is cut back to them when it has twice as
// many); a client that resumes from an event no longer kept is sent a
// "reset" event first (no id; reload the incidents, then follow on).
//
// Each incident's timeline is told once, in order: an observer that is told
// of an older state of an incident after a newer one sends nothing for it. A
// change that adds no timeline entry (a timeline that is full) but changes
// the incident's state is sent with the state as its change.
//
// Several instances on one storage root (`shared`) append to one file: each
// appends under the file's byte of Events/incidents/.lock, having first read
// what the others appended since it last read (so its numbers follow the
// last line of the file, and an entry another instance told already is not
// told again), and it follows the file every half second: the events other
// instances appended reach its streams in their order, each once, and
// resume with Last-Event-ID as its own do. The file is cut back under the
// same lock; the others read it anew (they see another inode).
//
// Thread-safety: every method may be called from any thread; one mutex
// guards the numbers, the kept events and the streams (it is held while a
// line is appended to the file: changes of incidents are rare). A worker
// sends a comment to every stream every 15 s, so a client that left is
// noticed and a proxy keeps the connection (and, on a shared root, follows
// the file); it is stopped and joined in the destructor.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "event_channel.h"
#include "file_tail.h"
#include "ringwell/oncall/incident.h"

namespace ringwell {
class CEventLog;
}

namespace ringwell::api {

class IncidentFeed {
 public:
  static constexpr std::size_t kKeptEvents = 1000;

  // `root` ends with "/"; `log` receives failures to write the file;
  // `shared`: other instances append to the file too.
  IncidentFeed(std::string root, const CEventLog& log, bool shared = false);
  ~IncidentFeed();
  IncidentFeed(const IncidentFeed&) = delete;
  IncidentFeed& operator=(const IncidentFeed&) = delete;

  // Reads the kept events and takes `incidents` (the engine's at start) as
  // told as far as the file tells; the entries of an incident the file does
  // not know are taken as told (older than what it keeps) unless they are
  // newer than its last event. The entries not told yet are sent at once.
  // Call once, before the first Publish.
  void Load(const std::vector<oncall::Incident>& incidents);

  // Sends the entries of `incident`'s timeline not sent yet.
  void Publish(const oncall::Incident& incident);

  // Streams the kept events after `resume` into `channel`, then every new
  // one; without `resume`, only the events from now on.
  void Subscribe(std::optional<std::uint64_t> resume, std::shared_ptr<EventChannel> channel);

  std::uint64_t LastSeq();
  std::size_t StreamCount();

 private:
  struct Told {
    std::size_t entries = 0;
    std::string state;
  };
  void Append(std::vector<nlohmann::json> events, bool locked);
  void KeepAlive();
  // On a shared root, under the mutex: the events the others appended
  // (Follow: with the file's lock held; CatchUp takes it when the file
  // changed).
  void Follow();
  void CatchUp();
  bool MakeDirectories();

  const std::string root_;
  const std::string path_;
  const CEventLog& log_;
  const bool shared_;
  std::mutex mutex_;
  FileTail tail_;  // how far the file is read (shared root)
  bool loaded_ = false;
  std::uint64_t last_seq_ = 0;
  std::size_t lines_ = 0;  // lines in the file
  std::deque<nlohmann::json> kept_;
  std::map<std::string, Told> told_;
  std::vector<std::shared_ptr<EventChannel>> streams_;
  std::jthread worker_;
};

}  // namespace ringwell::api
