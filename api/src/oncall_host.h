// The on-call engine as ringwell-api hosts it: the engine on the storage
// root (incidents in Incidents/), calls placed as ordinary requests through
// the toolkit (oncall_dialer.cc), a worker that reads the calls' reports and
// starts due steps every second, and the acknowledgement back to
// Alertmanager (a silence on acknowledgement, expired on resolution) for
// routes that name one.
//
// With a leader lease (several API instances on one storage root), the
// worker's steps and the questions to Alertmanager run only while this
// instance holds it, and the engine reads what the other instances saved
// before each change (engine.h): the instance that gains the lease resumes
// every chain from Incidents/.
//
// Thread-safety: every method may be called from any thread; the worker is
// stopped and joined before the object goes.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "alert_routes.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/oncall/engine.h"

namespace ringwell::api {

class OnCallHost {
 public:
  // `refresh` is told of every request the calls make (the listing index).
  // `routes` (read as they are at each use) must outlive the host.
  OnCallHost(std::string root, const LiveAlertRoutes& routes, oncall::OnCallConfig config,
             std::function<void(const std::string&)> refresh,
             std::function<void(const std::string&)> problem, bool shared = false);
  ~OnCallHost();
  OnCallHost(const OnCallHost&) = delete;
  OnCallHost& operator=(const OnCallHost&) = delete;

  oncall::Engine& engine() { return *engine_; }
  // Starts the worker. An acknowledged incident whose group Alertmanager
  // silenced is resolved once Alertmanager has none of its alerts active (the
  // silence mutes the resolved notification).
  void Start();
  // The lease the worker needs (on a shared root; it must outlive the host).
  // Set before Start.
  void SetLeader(const LeaderLease* leader) { leader_ = leader; }
  // New tables (SIGHUP): incidents stay.
  void Reload(oncall::OnCallConfig config);
  // `listener` is told of every saved change of an incident (before the
  // silences of Alertmanager are made), from the thread that made it. Set
  // before Start.
  void OnChange(std::function<void(const oncall::Incident&)> listener);

 private:
  void Observe(const oncall::Incident& incident, oncall::Change change);
  void ResolveEnded();

  std::string root_;
  const LiveAlertRoutes& routes_;
  std::function<void(const std::string&)> refresh_;
  std::function<void(const std::string&)> problem_;
  std::function<void(const oncall::Incident&)> listener_;
  oncall::SystemClock clock_;
  std::unique_ptr<oncall::Dialer> dialer_;
  std::unique_ptr<oncall::Engine> engine_;
  const LeaderLease* leader_ = nullptr;
  std::jthread worker_;
};

// The dialer of the API: a call per person as an ordinary request, with the
// request keys of the incident's route (window, rings, retries, ...) as the
// routes say when the call is placed. `routes` must outlive the dialer.
std::unique_ptr<oncall::Dialer> MakeToolkitDialer(std::string root,
                                                  std::function<void(const std::string&)> refresh,
                                                  const LiveAlertRoutes& routes);

// With resolved = "say" on the route: tells the person who acknowledged that
// the incident is resolved, in a call of its own (no prompt); its request ID.
// Throws std::runtime_error.
std::string TellResolved(const std::string& root, const oncall::Person& person,
                         const std::string& text, const AlertRoute& route);

// The on-call tables of the routes file `path` (as --check reads them), with
// every route's policy checked. Throws std::runtime_error naming the file,
// the table and the key.
oncall::OnCallConfig ReadOnCallTables(const std::string& path, bool required,
                                      const AlertRoutes& routes);

// Alertmanager's API v2: a silence matching `labels` for `seconds`; its ID.
// Throws std::runtime_error.
std::string CreateSilence(const std::string& alertmanager, const nlohmann::json& labels,
                          long seconds, const std::string& created_by, const std::string& comment);
void ExpireSilence(const std::string& alertmanager, const std::string& id);
// Whether Alertmanager still has an active alert (silenced or not) with all
// of `labels`. Throws std::runtime_error.
bool StillFiring(const std::string& alertmanager, const nlohmann::json& labels);

}  // namespace ringwell::api
