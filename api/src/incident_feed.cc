#include "incident_feed.h"

#include <chrono>

#include "event_journal.h"
#include "ringwell/common/directory_lock.h"
#include "ringwell/common/event_log.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"

namespace ringwell::api {
namespace {

using nlohmann::json;

constexpr auto kKeepAliveEvery = std::chrono::seconds(15);
constexpr auto kFollowEvery = std::chrono::milliseconds(500);  // shared root

// States only go forward: open, acknowledged, resolved.
int Rank(const std::string& state) {
  return state == "resolved" ? 2 : state == "acknowledged" ? 1 : 0;
}

std::string Directory(const std::string& root) { return root + kEventsDir + "/incidents"; }

}  // namespace

IncidentFeed::IncidentFeed(std::string root, const CEventLog& log, bool shared)
    : root_(std::move(root)),
      path_(Directory(root_) + "/feed.jsonl"),
      log_(log),
      shared_(shared),
      tail_(path_) {
  worker_ = std::jthread([this](std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    auto last_keep_alive = std::chrono::steady_clock::now();
    while (!stop.stop_requested()) {
      {
        std::unique_lock lock(mutex);
        if (wake.wait_for(lock, stop, shared_ ? kFollowEvery : kKeepAliveEvery,
                          [] { return false; })) {
          break;
        }
      }
      if (stop.stop_requested()) break;
      if (shared_) {
        std::lock_guard lock(mutex_);
        CatchUp();
      }
      if (const auto now = std::chrono::steady_clock::now();
          now - last_keep_alive >= kKeepAliveEvery) {
        KeepAlive();
        last_keep_alive = now;
      }
    }
  });
}

IncidentFeed::~IncidentFeed() {
  worker_.request_stop();
  if (worker_.joinable()) worker_.join();
}

void IncidentFeed::Load(const std::vector<oncall::Incident>& incidents) {
  std::unique_lock lock(mutex_);
  DirectoryLock file_lock;
  std::vector<json> events;
  if (shared_) {
    if (MakeDirectories()) DirectoryLock::Acquire(path_, &file_lock);
    for (const std::string& line : tail_.Read().lines) {
      json event = json::parse(line, nullptr, false);
      if (event.is_object() && event.contains("seq")) events.push_back(std::move(event));
    }
  } else {
    events = ReadEvents(path_);
  }
  lines_ = events.size();
  std::optional<oncall::Instant> last_time;
  for (const json& event : events) {
    last_seq_ = std::max(last_seq_, event.value("seq", std::uint64_t{0}));
    const std::string id = event.value("incident", json::object()).value("id", "");
    Told& told = told_[id];
    told.entries = std::max(told.entries, event.value("entry", std::size_t{0}));
    told.state = event.value("incident", json::object()).value("state", "");
    last_time = oncall::ParseInstant(event.value("time", ""));
    kept_.push_back(event);
    if (kept_.size() > kKeptEvents) kept_.pop_front();
  }
  for (const oncall::Incident& incident : incidents) {
    if (told_.contains(incident.id)) continue;
    Told& told = told_[incident.id];
    told.state = incident.state;
    while (told.entries < incident.timeline.size() &&
           (!last_time || incident.timeline[told.entries].at <= *last_time)) {
      ++told.entries;
    }
  }
  loaded_ = true;
  file_lock.Release();
  lock.unlock();
  // What the engine did after the last event written (the process ended in
  // between) is told now.
  for (const oncall::Incident& incident : incidents) Publish(incident);
}

void IncidentFeed::Publish(const oncall::Incident& incident) {
  std::vector<json> events;
  std::lock_guard lock(mutex_);
  DirectoryLock file_lock;
  // On a shared root, numbered after the last event of the file, and told
  // only when no other instance told it yet.
  const bool locked =
      !shared_ || (MakeDirectories() && Succeeded(DirectoryLock::Acquire(path_, &file_lock)));
  if (shared_ && locked) Follow();
  Told& told = told_[incident.id];
  const json about = incident.ToJson(false);
  const auto event = [&](const std::string& change, oncall::Instant at, const std::string& text,
                         std::size_t entry) {
    events.push_back({{"seq", last_seq_ + events.size() + 1},
                      {"type", "incident"},
                      {"change", change},
                      {"time", oncall::FormatInstant(at)},
                      {"text", text},
                      {"entry", entry},
                      {"incident", about}});
  };
  if (incident.timeline.size() < told.entries) return;  // an older state, told already
  for (std::size_t i = told.entries; i < incident.timeline.size(); ++i) {
    const oncall::TimelineEntry& entry = incident.timeline[i];
    event(entry.event, entry.at, entry.text, i + 1);
  }
  const bool later_state = Rank(incident.state) > Rank(told.state);
  if (events.empty() && later_state && !told.state.empty()) {
    const auto at = incident.resolved_at ? incident.resolved_at : incident.acknowledged_at;
    event(incident.state, at.value_or(incident.opened), incident.state, told.entries);
  }
  told.entries = incident.timeline.size();
  if (later_state || told.state.empty()) told.state = incident.state;
  if (!events.empty()) Append(std::move(events), locked);
}

bool IncidentFeed::MakeDirectories() {
  const std::string directory = Directory(root_);
  if (!IsDirectory(directory)) {
    MakeDirectory(root_ + kEventsDir);  // made by setup; a new root may lack it
    MakeDirectory(directory);
  }
  return IsDirectory(directory);
}

// Under the mutex (and on a shared root, the file's lock when `locked`).
void IncidentFeed::Append(std::vector<json> events, bool locked) {
  MakeDirectories();
  if (locked && lines_ + events.size() > 2 * kKeptEvents) {
    // Cut back to the kept events (the new ones follow).
    std::string text;
    for (const json& kept : kept_) text += kept.dump() + "\n";
    if (const HRESULT hr = WriteFileAtomically(path_, text); Failed(hr)) {
      log_.ReportText(EventType::kError, 3,
                      "cannot write the incident events to " + path_ + ": " + ErrorText(hr));
    } else {
      lines_ = kept_.size();
    }
  }
  if (const HRESULT hr = AppendEvents(path_, events); Failed(hr)) {
    // Sent all the same: the numbers stay in order within this run.
    log_.ReportText(EventType::kError, 3,
                    "cannot write the incident events to " + path_ + ": " + ErrorText(hr));
  } else {
    lines_ += events.size();
  }
  if (shared_) tail_.Skip();
  std::string text;
  for (json& event : events) {
    text += SseText(event);
    last_seq_ = event["seq"].get<std::uint64_t>();
    kept_.push_back(std::move(event));
    if (kept_.size() > kKeptEvents) kept_.pop_front();
  }
  std::erase_if(streams_, [](const auto& stream) { return stream->Gone(); });
  for (const auto& stream : streams_) stream->Push(text);
}

void IncidentFeed::Subscribe(std::optional<std::uint64_t> resume,
                             std::shared_ptr<EventChannel> channel) {
  std::lock_guard lock(mutex_);
  CatchUp();
  std::erase_if(streams_, [](const auto& stream) { return stream->Gone(); });
  const std::uint64_t after = resume.value_or(last_seq_);
  const std::uint64_t first =
      kept_.empty() ? last_seq_ + 1 : kept_.front()["seq"].get<std::uint64_t>();
  if (after + 1 < first && after < last_seq_) {
    channel->Push("event: reset\ndata: {\"reason\": \"events after " + std::to_string(after) +
                  " are no longer kept: read the incidents again\"}\n\n");
  }
  std::string text;
  for (const json& event : kept_) {
    if (event["seq"].get<std::uint64_t>() > after) text += SseText(event);
  }
  if (!text.empty()) channel->Push(text);
  streams_.push_back(std::move(channel));
}

void IncidentFeed::CatchUp() {
  if (!shared_ || !loaded_ || !tail_.Changed()) return;
  DirectoryLock file_lock;
  if (Succeeded(DirectoryLock::Acquire(path_, &file_lock))) Follow();
}

void IncidentFeed::Follow() {
  const FileTail::Lines read = tail_.Read();
  if (read.anew) lines_ = 0;  // cut back by another instance
  std::string text;
  for (const std::string& line : read.lines) {
    ++lines_;
    json event = json::parse(line, nullptr, false);
    if (!event.is_object() || !event.contains("seq") || !event["seq"].is_number_unsigned()) {
      continue;
    }
    const json about = event.value("incident", json::object());
    Told& told = told_[about.value("id", "")];
    told.entries = std::max(told.entries, event.value("entry", std::size_t{0}));
    const std::string state = about.value("state", "");
    if (told.state.empty() || Rank(state) > Rank(told.state)) told.state = state;
    const std::uint64_t seq = event["seq"].get<std::uint64_t>();
    if (seq <= last_seq_) continue;  // read before (a file cut back keeps the last events)
    last_seq_ = seq;
    text += SseText(event);
    kept_.push_back(std::move(event));
    if (kept_.size() > kKeptEvents) kept_.pop_front();
  }
  if (text.empty()) return;
  std::erase_if(streams_, [](const auto& stream) { return stream->Gone(); });
  for (const auto& stream : streams_) stream->Push(text);
}

void IncidentFeed::KeepAlive() {
  std::lock_guard lock(mutex_);
  std::erase_if(streams_, [](const auto& stream) { return stream->Gone(); });
  for (const auto& stream : streams_) stream->Push(": keep-alive\n\n");
}

std::uint64_t IncidentFeed::LastSeq() {
  std::lock_guard lock(mutex_);
  return last_seq_;
}

std::size_t IncidentFeed::StreamCount() {
  std::lock_guard lock(mutex_);
  std::erase_if(streams_, [](const auto& stream) { return stream->Gone(); });
  return streams_.size();
}

}  // namespace ringwell::api
