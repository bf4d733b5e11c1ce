// The escalation engine: opens an incident per alert group on a route with a
// policy, runs the policy's steps (each step calls the people it names, or
// whoever is on call in the schedules it names when the step starts, then
// waits), and stops when someone acknowledges (key 1, or the API) or the
// incident is resolved. Key 2 starts the next step at once. A call answered
// by a machine never acknowledges.
//
// Every change is saved below the storage root (Incidents/ID.json, written
// atomically and flushed) before anything follows from it: a step counts as
// started, with its due time as a UTC instant, before its calls are placed.
// An engine made on the same root after a crash resumes each chain where it
// was; no step runs twice and no wait starts again from zero. A call that
// was being placed when the process died is recorded as "unknown", never
// placed twice.
//
// The clock and the placing of calls are interfaces: the API gives the
// system clock and calls through the toolkit; tests give their own.
//
// Several processes on one storage root (`shared`, the API on several boxes):
// every change and every reading also holds the lock of Incidents/ (a byte
// of Incidents/.lock, DirectoryLock), and first reads again the incidents
// and heartbeats that another process saved (each file's stamp tells), so
// each decision (is this group's incident open, is this step due) is made on
// what is saved, by one process at a time. An incident left "placing" is then
// one whose placer died, and becomes "unknown" as at a restart.
//
// Thread-safety: every method may be called from any thread. Changes are
// serialised; readers (List, Get) see the last saved state and are never
// held up by a call being placed (on a shared root, in another process they
// are).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ringwell/common/directory_lock.h"
#include "ringwell/common/file_stamp.h"
#include "ringwell/common/hresult.h"
#include "ringwell/oncall/config.h"
#include "ringwell/oncall/incident.h"

namespace ringwell::oncall {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant Now() const = 0;
};

class SystemClock : public Clock {
 public:
  Instant Now() const override;
};

class Dialer {
 public:
  virtual ~Dialer() = default;
  // Places a call to `person` saying `text` and then the prompt (kPrompt)
  // with its responses; the request's ID. Throws std::runtime_error.
  virtual std::string Call(const Person& person, const std::string& text,
                           const Incident& incident) = 0;
  // Cancels the request (nothing when it has ended). Throws std::runtime_error.
  virtual void Cancel(const std::string& request) = 0;
  // What became of the call so far. Throws std::runtime_error when it cannot
  // be read now (asked again later).
  virtual CallOutcome Outcome(const std::string& request) = 0;
};

// What changed, for those who act on it (Alertmanager silences, events).
enum class Change { kOpened, kUpdated, kAcknowledged, kResolved };

class Engine {
 public:
  // Loads the incidents kept below `root` (ending in "/"). The clock and the
  // dialer must outlive the engine. `shared`: other processes use the same
  // Incidents/ (see above).
  Engine(std::string root, OnCallConfig config, Clock& clock, Dialer& dialer, bool shared = false);

  // A new configuration (SIGHUP): incidents and their state stay.
  void Reload(OnCallConfig config);
  OnCallConfig Config() const;

  // Called after each saved change, outside the engine's locks.
  void SetObserver(std::function<void(const Incident&, Change)> observer);

  struct Fired {
    std::string id;
    bool opened = false;
  };
  // A firing alert group on `route` with `policy`: opens an incident, or adds
  // the alerts to the group's incident that is not resolved. Throws
  // std::runtime_error when the policy is unknown or the incident cannot be
  // saved.
  Fired Fire(const std::string& route, const std::string& policy, const std::string& group_key,
             const std::string& text, const nlohmann::json& labels,
             const std::vector<std::string>& alerts);
  // The group's alerts resolved: its incident, when one is not resolved yet.
  std::optional<std::string> ResolveGroup(const std::string& route, const std::string& group_key,
                                          const std::string& by);

  // The API's actions; false when there is no such incident or it is
  // resolved (acknowledge also when it is acknowledged already).
  bool Acknowledge(const std::string& id, const std::string& by);
  bool Escalate(const std::string& id, const std::string& by);
  bool Resolve(const std::string& id, const std::string& by);
  // Records the Alertmanager silence made for the incident.
  void SetSilence(const std::string& id, const std::string& silence);

  // A heartbeat came: a missed-heartbeat incident resolves. False for an
  // unknown heartbeat.
  bool Beat(const std::string& name);

  // Reads the calls' reports and starts the steps that are due; opens the
  // incidents of late heartbeats. The host calls it every second or so.
  void Tick();

  // Open first, then acknowledged, then resolved; newest first in each.
  std::vector<Incident> List() const;
  std::optional<Incident> Get(const std::string& id) const;

  // Problems met while loading or running (unreadable files, failed saves).
  std::vector<std::string> TakeProblems();

 private:
  using Effects = std::vector<std::pair<Incident, Change>>;
  std::optional<Incident> Find(const std::string& id) const;
  void Commit(Incident incident, Change change, Effects& effects);
  void Notify(const Effects& effects);
  void AddEntry(Incident& incident, const std::string& event, const std::string& text) const;
  void StartStep(Incident incident, Effects& effects);
  void Poll(Incident incident, Effects& effects);
  void Acknowledged(Incident& incident, const std::string& by, const std::string& how);
  void CancelCalls(Incident& incident);
  bool Finish(const std::string& id, const std::string& by);
  void Problem(const std::string& text);
  HRESULT MakeIncidentDirectory() const;
  void LoadHeartbeats();
  // Reads the incident file `name` of Incidents/ into incidents_ (its
  // "placing" calls become "unknown"); operation_mutex_ held.
  void LoadIncident(const std::string& name);
  // On a shared root: the lock of Incidents/ and the files other processes
  // changed read again (operation_mutex_ held); nothing otherwise.
  DirectoryLock Share();
  // Share for the readers (on a shared root).
  void Refreshed() const;
  void SaveHeartbeats();

  const std::string root_;
  Clock& clock_;
  Dialer& dialer_;
  std::mutex operation_mutex_;      // held by every change, one at a time
  mutable std::mutex state_mutex_;  // held for the shortest span to read or replace state
  OnCallConfig config_;
  std::map<std::string, Incident> incidents_;
  std::map<std::string, Instant> beats_;  // last beat of each heartbeat
  std::function<void(const Incident&, Change)> observer_;
  std::vector<std::string> problems_;
  const bool shared_;
  std::map<std::string, FileStamp> stamps_;  // of the files read (operation_mutex_)
};

}  // namespace ringwell::oncall
