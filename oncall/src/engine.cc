#include "ringwell/oncall/engine.h"

#include <time.h>

#include <algorithm>
#include <random>
#include <set>
#include <stdexcept>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/oncall/schedule.h"

namespace ringwell::oncall {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxIncidentFile = 4 << 20;
constexpr std::size_t kMaxTimeline = 1000;

std::string NewId(Instant now) {
  static constexpr char kLetters[] = "abcdefghijkmnpqrstuvwxyz23456789";
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::string id = cctz::format("%Y%m%d-%H%M%S-", now, cctz::utc_time_zone());
  for (int i = 0; i < 6; ++i) id += kLetters[random() % (sizeof kLetters - 1)];
  return id;
}

int StepsInChain(const Policy& policy) {
  return static_cast<int>(policy.steps.size()) * (policy.repeat + 1);
}

int StateRank(const std::string& state) {
  return state == "open" ? 0 : state == "acknowledged" ? 1 : 2;
}

}  // namespace

HRESULT Engine::MakeIncidentDirectory() const {
  if (IsDirectory(root_ + "Incidents/")) return S_OK;
  const HRESULT hr = MakeDirectory(root_ + "Incidents", 0770);
  return IsDirectory(root_ + "Incidents/") ? S_OK : hr;
}

Instant SystemClock::Now() const {
  return std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now());
}

Engine::Engine(std::string root, OnCallConfig config, Clock& clock, Dialer& dialer, bool shared)
    : root_(std::move(root)),
      clock_(clock),
      dialer_(dialer),
      config_(std::move(config)),
      shared_(shared) {
  std::scoped_lock operation(operation_mutex_);
  if (shared_) {
    Share();  // reads every file under the lock
    return;
  }
  std::vector<DirectoryEntry> entries;
  if (Failed(ListDirectory(root_ + "Incidents/", &entries))) entries.clear();
  for (const DirectoryEntry& entry : entries) {
    if (entry.type == DirectoryEntry::Type::kFile) LoadIncident(entry.name);
  }
  LoadHeartbeats();
}

void Engine::LoadIncident(const std::string& name) {
  const std::string dir = root_ + "Incidents/";
  if (name.size() < 6 || name.substr(name.size() - 5) != ".json") return;
  std::string text;
  if (const HRESULT hr = ReadWholeFile(dir + name, &text); Failed(hr)) {
    Problem(dir + name + " cannot be read: " + ErrorText(hr));
    return;
  }
  try {
    if (text.size() > kMaxIncidentFile) throw std::runtime_error("larger than 4 MB");
    Incident incident = Incident::FromJson(json::parse(text));
    if (incident.id + ".json" != name) throw std::runtime_error("its id is not its name");
    // A call being placed when the process ended may or may not have been
    // placed: it is never placed again.
    bool unsure = false;
    for (IncidentCall& call : incident.calls) {
      if (call.state == "placing") {
        call.state = "unknown";
        unsure = true;
        AddEntry(incident, "unknown",
                 "the call to " + call.person +
                     " may not have been placed: the process stopped while placing it");
      }
    }
    if (unsure) {
      const std::string text_json = incident.ToJson().dump();
      if (Failed(WriteFileAtomically(dir + name, text_json))) {
        Problem(dir + name + " cannot be saved");
      }
    }
    const std::string id = incident.id;
    std::scoped_lock state(state_mutex_);
    incidents_[id] = std::move(incident);
  } catch (const std::exception& e) {
    Problem(dir + name + " is not an incident: " + e.what());
  }
}

DirectoryLock Engine::Share() {
  DirectoryLock lock;
  if (!shared_) return lock;
  const std::string dir = root_ + "Incidents/";
  if (Failed(MakeIncidentDirectory()) || Failed(DirectoryLock::Acquire(dir + "incidents", &lock))) {
    throw std::runtime_error(dir + " cannot be locked");
  }
  std::vector<DirectoryEntry> entries;
  if (Failed(ListDirectory(dir, &entries))) entries.clear();
  for (const DirectoryEntry& entry : entries) {
    if (entry.type != DirectoryEntry::Type::kFile || entry.name.front() == '.') continue;
    // The stamp before the reading: a file replaced meanwhile is read again
    // next time.
    const std::optional<FileStamp> stamp = RegularFileStamp(dir + entry.name);
    if (!stamp) continue;
    // A file saved in the last seconds is read again whatever its stamp: a
    // replaced file's inode may be used again, and file times are coarse.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto known = stamps_.find(entry.name);
    if (known != stamps_.end() && known->second == *stamp &&
        now.tv_sec - stamp->modified.tv_sec > 2) {
      continue;
    }
    stamps_[entry.name] = *stamp;
    if (entry.name == "heartbeats.state") {
      LoadHeartbeats();
    } else {
      LoadIncident(entry.name);
    }
  }
  return lock;
}

void Engine::Reload(OnCallConfig config) {
  std::scoped_lock operation(operation_mutex_);
  std::scoped_lock state(state_mutex_);
  config_ = std::move(config);
}

OnCallConfig Engine::Config() const {
  std::scoped_lock state(state_mutex_);
  return config_;
}

void Engine::SetObserver(std::function<void(const Incident&, Change)> observer) {
  std::scoped_lock operation(operation_mutex_);
  observer_ = std::move(observer);
}

std::optional<Incident> Engine::Find(const std::string& id) const {
  std::scoped_lock state(state_mutex_);
  const auto found = incidents_.find(id);
  if (found == incidents_.end()) return std::nullopt;
  return found->second;
}

std::optional<Incident> Engine::Get(const std::string& id) const {
  if (shared_) Refreshed();
  return Find(id);
}

void Engine::Refreshed() const {
  auto* self = const_cast<Engine*>(this);  // the state is the files' in a shared root
  std::scoped_lock operation(self->operation_mutex_);
  try {
    self->Share();
  } catch (const std::exception& e) {
    self->Problem(e.what());  // what was read last is shown
  }
}

std::vector<Incident> Engine::List() const {
  if (shared_) Refreshed();
  std::vector<Incident> list;
  {
    std::scoped_lock state(state_mutex_);
    for (const auto& [id, incident] : incidents_) list.push_back(incident);
  }
  std::sort(list.begin(), list.end(), [](const Incident& a, const Incident& b) {
    if (StateRank(a.state) != StateRank(b.state)) return StateRank(a.state) < StateRank(b.state);
    if (a.opened != b.opened) return a.opened > b.opened;
    return a.id > b.id;
  });
  return list;
}

std::vector<std::string> Engine::TakeProblems() {
  std::scoped_lock state(state_mutex_);
  return std::exchange(problems_, {});
}

void Engine::Problem(const std::string& text) {
  std::scoped_lock state(state_mutex_);
  if (problems_.size() < 1000) problems_.push_back(text);
}

void Engine::AddEntry(Incident& incident, const std::string& event, const std::string& text) const {
  if (incident.timeline.size() >= kMaxTimeline) return;
  incident.timeline.push_back({clock_.Now(), event, text});
}

// Saves first; the state in memory changes only once the file is durable.
void Engine::Commit(Incident incident, Change change, Effects& effects) {
  const std::string dir = root_ + "Incidents/";
  if (const HRESULT hr = MakeIncidentDirectory(); Failed(hr)) {
    throw std::runtime_error(dir + " cannot be made: " + ErrorText(hr));
  }
  if (const HRESULT hr = WriteFileAtomically(dir + incident.id + ".json", incident.ToJson().dump());
      Failed(hr)) {
    throw std::runtime_error("the incident " + incident.id + " cannot be saved: " + ErrorText(hr));
  }
  SyncDirectory(dir);
  {
    std::scoped_lock state(state_mutex_);
    incidents_[incident.id] = incident;
  }
  effects.emplace_back(std::move(incident), change);
}

void Engine::Notify(const Effects& effects) {
  std::function<void(const Incident&, Change)> observer;
  {
    std::scoped_lock operation(operation_mutex_);
    observer = observer_;
  }
  if (!observer) return;
  for (const auto& [incident, change] : effects) observer(incident, change);
}

Engine::Fired Engine::Fire(const std::string& route, const std::string& policy,
                           const std::string& group_key, const std::string& text,
                           const json& labels, const std::vector<std::string>& alerts) {
  Effects effects;
  Fired fired;
  {
    std::scoped_lock operation(operation_mutex_);
    const DirectoryLock shared = Share();
    std::optional<Incident> known;
    {
      std::scoped_lock state(state_mutex_);
      if (!config_.policies.contains(policy)) {
        throw std::runtime_error("there is no escalation policy \"" + policy + "\"");
      }
      for (const auto& [id, incident] : incidents_) {
        if (incident.state != "resolved" && incident.route == route &&
            incident.group_key == group_key) {
          known = incident;
        }
      }
    }
    if (known) {
      // Repeats and joining alerts add to the incident; no second chain.
      std::vector<std::string> joined;
      for (const std::string& alert : alerts) {
        if (std::find(known->alerts.begin(), known->alerts.end(), alert) == known->alerts.end()) {
          joined.push_back(alert);
        }
      }
      fired.id = known->id;
      if (!joined.empty()) {
        known->alerts.insert(known->alerts.end(), joined.begin(), joined.end());
        AddEntry(*known, "alert joined",
                 std::to_string(joined.size()) + " more alert(s) joined the group");
        Commit(std::move(*known), Change::kUpdated, effects);
      }
    } else {
      Incident incident;
      incident.opened = clock_.Now();
      incident.id = NewId(incident.opened);
      incident.route = route;
      incident.policy = policy;
      incident.group_key = group_key;
      incident.text = text;
      incident.labels = labels;
      incident.alerts = alerts;
      incident.due = incident.opened;  // the first step starts at once
      AddEntry(incident, "opened", "opened on route " + route + " with policy " + policy);
      fired = {incident.id, true};
      Commit(incident, Change::kOpened, effects);
      StartStep(std::move(incident), effects);
    }
  }
  Notify(effects);
  return fired;
}

std::optional<std::string> Engine::ResolveGroup(const std::string& route,
                                                const std::string& group_key,
                                                const std::string& by) {
  std::string id;
  {
    // On a shared root the group's incident may be another process's.
    std::unique_lock operation(operation_mutex_, std::defer_lock);
    DirectoryLock shared;
    if (shared_) {
      operation.lock();
      shared = Share();
    }
    std::scoped_lock state(state_mutex_);
    for (const auto& [key, incident] : incidents_) {
      if (incident.state != "resolved" && incident.route == route &&
          incident.group_key == group_key) {
        id = key;
      }
    }
  }
  if (id.empty() || !Finish(id, by)) return std::nullopt;
  return id;
}

void Engine::CancelCalls(Incident& incident) {
  for (IncidentCall& call : incident.calls) {
    if (call.state != "calling" || call.request.empty()) continue;
    try {
      dialer_.Cancel(call.request);
      call.state = "canceled";
      AddEntry(incident, "canceled", "the call to " + call.person + " was canceled");
    } catch (const std::exception& e) {
      AddEntry(incident, "canceled",
               "the call to " + call.person + " could not be canceled: " + e.what());
    }
  }
}

void Engine::Acknowledged(Incident& incident, const std::string& by, const std::string& how) {
  incident.state = "acknowledged";
  incident.acknowledged_by = by;
  incident.acknowledged_at = clock_.Now();
  incident.due.reset();
  AddEntry(incident, "acknowledged", "acknowledged by " + by + " (" + how + ")");
  CancelCalls(incident);
}

bool Engine::Acknowledge(const std::string& id, const std::string& by) {
  Effects effects;
  {
    std::scoped_lock operation(operation_mutex_);
    const DirectoryLock shared = Share();
    std::optional<Incident> incident = Find(id);
    if (!incident || incident->state != "open") return false;
    Acknowledged(*incident, by, "API");
    Commit(std::move(*incident), Change::kAcknowledged, effects);
  }
  Notify(effects);
  return true;
}

bool Engine::Escalate(const std::string& id, const std::string& by) {
  Effects effects;
  {
    std::scoped_lock operation(operation_mutex_);
    const DirectoryLock shared = Share();
    std::optional<Incident> incident = Find(id);
    if (!incident || incident->state == "resolved") return false;
    if (incident->state == "acknowledged") {
      // Passed on after all: the chain goes on from the next step.
      incident->state = "open";
      incident->acknowledged_by.clear();
      incident->acknowledged_at.reset();
    }
    AddEntry(*incident, "escalated", "escalated by " + by);
    incident->due = clock_.Now();
    StartStep(std::move(*incident), effects);
  }
  Notify(effects);
  return true;
}

bool Engine::Resolve(const std::string& id, const std::string& by) { return Finish(id, by); }

bool Engine::Finish(const std::string& id, const std::string& by) {
  Effects effects;
  {
    std::scoped_lock operation(operation_mutex_);
    const DirectoryLock shared = Share();
    std::optional<Incident> incident = Find(id);
    if (!incident || incident->state == "resolved") return false;
    incident->state = "resolved";
    incident->resolved_at = clock_.Now();
    incident->due.reset();
    AddEntry(*incident, "resolved", "resolved by " + by);
    CancelCalls(*incident);
    Commit(std::move(*incident), Change::kResolved, effects);
  }
  Notify(effects);
  return true;
}

void Engine::SetSilence(const std::string& id, const std::string& silence) {
  Effects effects;
  std::scoped_lock operation(operation_mutex_);
  const DirectoryLock shared = Share();
  std::optional<Incident> incident = Find(id);
  if (!incident) return;
  incident->silence = silence;
  AddEntry(*incident, "silenced", "Alertmanager silence " + silence);
  try {
    Commit(std::move(*incident), Change::kUpdated, effects);
  } catch (const std::exception& e) {
    Problem(e.what());
  }
}

// Starts the next step of an open incident whose due time has come: saved as
// started (with the next due time) before any call is placed.
void Engine::StartStep(Incident incident, Effects& effects) {
  OnCallConfig config;
  {
    std::scoped_lock state(state_mutex_);
    config = config_;
  }
  const auto policy = config.policies.find(incident.policy);
  const Instant now = clock_.Now();
  if (policy == config.policies.end()) {
    incident.due.reset();
    AddEntry(incident, "stopped",
             "the chain stopped: there is no escalation policy \"" + incident.policy + "\" now");
    Commit(std::move(incident), Change::kUpdated, effects);
    return;
  }
  if (incident.step >= StepsInChain(policy->second)) {
    incident.due.reset();
    AddEntry(incident, "stopped", "the chain ended: nobody acknowledged");
    Commit(std::move(incident), Change::kUpdated, effects);
    return;
  }
  const Step& step =
      policy->second.steps[static_cast<std::size_t>(incident.step) % policy->second.steps.size()];
  incident.step += 1;
  incident.due = now + step.wait;
  std::vector<std::string> people;
  for (const std::string& target : step.notify) {
    std::string person;
    if (target.rfind("person:", 0) == 0) {
      person = target.substr(7);
    } else if (const auto schedule = config.schedules.find(target.substr(9));
               schedule != config.schedules.end()) {
      person = OnCallAt(schedule->second, now);
      if (person.empty()) {
        AddEntry(
            incident, "nobody",
            "step " + std::to_string(incident.step) + ": nobody is on call in " + schedule->first);
      }
    }
    if (!person.empty() && config.people.contains(person) &&
        std::find(people.begin(), people.end(), person) == people.end()) {
      people.push_back(person);
    }
  }
  const std::size_t first = incident.calls.size();
  for (const std::string& person : people) {
    incident.calls.push_back({incident.step, person, "", "placing", ""});
  }
  AddEntry(incident, "step",
           "step " + std::to_string(incident.step) + " started; next step at " +
               FormatInstant(*incident.due));
  Commit(incident, Change::kUpdated, effects);
  for (std::size_t i = first; i < incident.calls.size(); ++i) {
    IncidentCall& call = incident.calls[i];
    try {
      call.request = dialer_.Call(config.people.at(call.person), incident.text, incident);
      call.state = "calling";
      AddEntry(incident, "called",
               "step " + std::to_string(call.step) + " called " + call.person + " (request " +
                   call.request + ")");
    } catch (const std::exception& e) {
      call.state = "failed";
      call.result = "failed";
      AddEntry(incident, "failed",
               "the call to " + call.person + " could not be placed: " + e.what());
    }
  }
  Commit(std::move(incident), Change::kUpdated, effects);
}

void Engine::Poll(Incident incident, Effects& effects) {
  bool changed = false;
  std::optional<std::string> acknowledged;
  bool escalate = false;
  for (IncidentCall& call : incident.calls) {
    if (call.state != "calling") continue;
    CallOutcome outcome;
    try {
      outcome = dialer_.Outcome(call.request);
    } catch (const std::exception&) {
      continue;  // read again at the next tick
    }
    if (!outcome.finished) {
      // A key is final once the report has it, even before the call ended.
      if (outcome.key == "1" && !outcome.machine && !acknowledged) acknowledged = call.person;
      continue;
    }
    call.state = "finished";
    call.result = outcome.result;
    changed = true;
    AddEntry(incident, outcome.result, call.person + ": " + outcome.result);
    if (outcome.machine) continue;  // a voicemail never acknowledges
    if (outcome.key == "1" && !acknowledged) acknowledged = call.person;
    if (outcome.key == "2") {
      AddEntry(incident, "escalated", call.person + " pressed 2: passed to the next step");
      escalate = true;
    }
  }
  if (acknowledged && incident.state == "open") {
    Acknowledged(incident, *acknowledged, "key 1");
    Commit(std::move(incident), Change::kAcknowledged, effects);
    return;
  }
  if (escalate && incident.state == "open") {
    incident.due = clock_.Now();
    StartStep(std::move(incident), effects);
    return;
  }
  if (changed) Commit(std::move(incident), Change::kUpdated, effects);
}

void Engine::Tick() {
  Effects effects;
  {
    std::scoped_lock operation(operation_mutex_);
    const DirectoryLock shared = Share();
    std::vector<std::string> ids;
    {
      std::scoped_lock state(state_mutex_);
      for (const auto& [id, incident] : incidents_) {
        if (incident.state == "resolved") continue;
        bool calling = false;
        for (const IncidentCall& call : incident.calls)
          calling = calling || call.state == "calling";
        if (calling || (incident.state == "open" && incident.due)) ids.push_back(id);
      }
    }
    for (const std::string& id : ids) {
      try {
        if (std::optional<Incident> incident = Find(id)) Poll(std::move(*incident), effects);
        std::optional<Incident> incident = Find(id);
        if (incident && incident->state == "open" && incident->due &&
            *incident->due <= clock_.Now()) {
          StartStep(std::move(*incident), effects);
        }
      } catch (const std::exception& e) {
        Problem(e.what());
      }
    }
    // Heartbeats that are late open their incident.
    OnCallConfig config;
    {
      std::scoped_lock state(state_mutex_);
      config = config_;
    }
    const Instant now = clock_.Now();
    bool beats_changed = false;
    for (const auto& [name, heartbeat] : config.heartbeats) {
      auto [last, added] = beats_.try_emplace(name, now);  // counted from the first sight
      beats_changed = beats_changed || added;
      if (now < last->second + heartbeat.every) continue;
      const std::string route = "heartbeat:" + name;
      bool open = false;
      {
        std::scoped_lock state(state_mutex_);
        for (const auto& [id, incident] : incidents_) {
          open = open || (incident.route == route && incident.state != "resolved");
        }
      }
      if (open) continue;
      Incident incident;
      incident.opened = now;
      incident.id = NewId(now);
      incident.route = route;
      incident.policy = heartbeat.policy;
      incident.group_key = route;
      incident.text = "heartbeat " + name + " missed";
      incident.labels = {{"heartbeat", name}};
      incident.due = now;
      AddEntry(
          incident, "opened",
          "heartbeat " + name + " missed (expected every " + FormatDuration(heartbeat.every) + ")");
      try {
        Commit(incident, Change::kOpened, effects);
        StartStep(std::move(incident), effects);
      } catch (const std::exception& e) {
        Problem(e.what());
      }
    }
    if (beats_changed) SaveHeartbeats();
  }
  Notify(effects);
}

bool Engine::Beat(const std::string& name) {
  {
    std::scoped_lock operation(operation_mutex_);
    const DirectoryLock shared = Share();
    {
      std::scoped_lock state(state_mutex_);
      if (!config_.heartbeats.contains(name)) return false;
    }
    beats_[name] = clock_.Now();
    SaveHeartbeats();
  }
  ResolveGroup("heartbeat:" + name, "heartbeat:" + name, "heartbeat " + name);
  return true;
}

void Engine::LoadHeartbeats() {
  std::string text;
  if (Failed(ReadWholeFile(root_ + "Incidents/heartbeats.state", &text))) return;
  try {
    const json document = json::parse(text);
    if (!document.is_object()) return;
    for (const auto& [name, at] : document.items()) {
      if (!at.is_string()) continue;
      if (const auto instant = ParseInstant(at.get<std::string>())) beats_[name] = *instant;
    }
  } catch (const json::exception& e) {
    Problem(root_ + "Incidents/heartbeats.state is not readable: " + e.what());
  }
}

void Engine::SaveHeartbeats() {
  json document = json::object();
  for (const auto& [name, at] : beats_) document[name] = FormatInstant(at);
  const std::string dir = root_ + "Incidents/";
  MakeIncidentDirectory();
  if (Failed(WriteFileAtomically(dir + "heartbeats.state", document.dump()))) {
    Problem(dir + "heartbeats.state cannot be saved");
  }
}

}  // namespace ringwell::oncall
