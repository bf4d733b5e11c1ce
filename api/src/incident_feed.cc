#include "incident_feed.h"

#include <chrono>

#include "event_journal.h"
#include "ringwell/common/event_log.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"

namespace ringwell::api {
namespace {

using nlohmann::json;

constexpr auto kKeepAliveEvery = std::chrono::seconds(15);

// States only go forward: open, acknowledged, resolved.
int Rank(const std::string& state) {
  return state == "resolved" ? 2 : state == "acknowledged" ? 1 : 0;
}

std::string Directory(const std::string& root) { return root + kEventsDir + "/incidents"; }

}  // namespace

IncidentFeed::IncidentFeed(std::string root, const CEventLog& log)
    : root_(std::move(root)), path_(Directory(root_) + "/feed.jsonl"), log_(log) {
  worker_ = std::jthread([this](std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    while (!stop.stop_requested()) {
      {
        std::unique_lock lock(mutex);
        if (wake.wait_for(lock, stop, kKeepAliveEvery, [] { return false; })) break;
      }
      if (!stop.stop_requested()) KeepAlive();
    }
  });
}

IncidentFeed::~IncidentFeed() {
  worker_.request_stop();
  if (worker_.joinable()) worker_.join();
}

void IncidentFeed::Load(const std::vector<oncall::Incident>& incidents) {
  std::unique_lock lock(mutex_);
  const std::vector<json> events = ReadEvents(path_);
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
  lock.unlock();
  // What the engine did after the last event written (the process ended in
  // between) is told now.
  for (const oncall::Incident& incident : incidents) Publish(incident);
}

void IncidentFeed::Publish(const oncall::Incident& incident) {
  std::vector<json> events;
  std::lock_guard lock(mutex_);
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
  if (!events.empty()) Append(std::move(events));
}

// Under the mutex.
void IncidentFeed::Append(std::vector<json> events) {
  const std::string directory = Directory(root_);
  if (!IsDirectory(directory)) {
    MakeDirectory(root_ + kEventsDir);  // made by setup; a new root may lack it
    MakeDirectory(directory);
  }
  if (lines_ + events.size() > 2 * kKeptEvents) {
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
