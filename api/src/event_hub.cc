#include "event_hub.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_set>

#include "ringwell/common/event_log.h"
#include "ringwell/common/files.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/status_file.h"
#include "ringwell/common/storage.h"
#include "thread_toolkit.h"

namespace ringwell::api {
namespace {

std::int64_t MtimeNs(const struct stat& status) {
  return status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec;
}

}  // namespace

EventHub::EventHub(std::string root, const CEventLog& log) : root_(std::move(root)), log_(log) {}

void EventHub::OnEvents(std::function<void(const std::string&)> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

JournalState& EventHub::StateOf(const std::string& id) {
  auto known = states_.find(id);
  if (known == states_.end()) {
    known = states_.emplace(id, Fold(ReadEvents(JournalPath(root_, id)))).first;
  }
  return known->second;
}

std::optional<JournalState> EventHub::Update(const std::string& id) {
  std::function<void(const std::string&)> listener;
  std::optional<JournalState> state;
  std::uint64_t before = 0;
  {
    std::lock_guard lock(mutex_);
    if (const auto known = states_.find(id); known != states_.end()) {
      before = known->second.last_seq;
    }
    state = UpdateLocked(id);
    listener = listener_;
  }
  if (state && state->last_seq != before && listener) listener(id);
  return state;
}

std::optional<JournalState> EventHub::UpdateLocked(const std::string& id) {
  const std::string report_path = StorageLayout{root_}.ReportFile(id);
  struct stat status {};
  if (Failed(LinkStatus(report_path, &status)) || !S_ISREG(status.st_mode)) return std::nullopt;
  std::optional<kel::client::ReportView> report;
  try {
    report = ReadReportOf(root_, id);
  } catch (const std::exception& e) {
    log_.ReportText(EventType::kWarning, 2, "cannot read the report of " + id + ": " + e.what());
  }
  JournalState& state = StateOf(id);
  if (!report) return state;
  auto events =
      Diff(state, *report, UtcIsoMillis(std::chrono::system_clock::now()), MtimeNs(status));
  if (!events.empty()) {
    const HRESULT hr = AppendEvents(JournalPath(root_, id), events);
    if (Failed(hr)) {
      log_.ReportText(EventType::kError, 3,
                      "cannot write the events of " + id + " to " + JournalPath(root_, id) + ": " +
                          ErrorText(hr));
      return state;
    }
    Apply(state, events);
    const auto [begin, end] = streams_.equal_range(id);
    for (auto it = begin; it != end;) {
      for (const auto& event : events) {
        if (event["seq"].get<std::uint64_t>() >= it->second.next) {
          it->second.channel->Push(SseText(event));
        }
      }
      it->second.next = state.last_seq + 1;
      if (state.Finished() || it->second.channel->Gone()) {
        it->second.channel->Finish();
        it = streams_.erase(it);
      } else {
        ++it;
      }
    }
  }
  JournalState copy = state;
  if (copy.Finished() && streams_.count(id) == 0) states_.erase(id);
  return copy;
}

std::size_t EventHub::CatchUp() {
  // Only requests with a journal or pending callbacks are looked at: the
  // Events directory is listed once, and each report and journal is looked at
  // through its open directory (never following a link).
  std::vector<DirectoryEntry> events;
  if (Failed(ListDirectory(root_ + kEventsDir, &events))) return 0;
  std::unordered_set<std::string> journaled;
  std::unordered_set<std::string> with_callbacks;
  for (const DirectoryEntry& entry : events) {
    const std::string& name = entry.name;
    if (entry.type != DirectoryEntry::Type::kFile) continue;
    for (auto [suffix, set] : {std::pair{std::string_view(".jsonl"), &journaled},
                               std::pair{std::string_view(".callback.json"), &with_callbacks}}) {
      if (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        set->insert(name.substr(0, name.size() - suffix.size()));
      }
    }
  }
  UniqueFd reports_dir;
  UniqueFd events_dir;
  if (Failed(OpenFile(root_ + kReportsDir, O_RDONLY | O_DIRECTORY, 0, &reports_dir)) ||
      Failed(OpenFile(root_ + kEventsDir, O_RDONLY | O_DIRECTORY, 0, &events_dir))) {
    return 0;
  }
  std::unordered_set<std::string> ids = journaled;
  ids.insert(with_callbacks.begin(), with_callbacks.end());
  std::size_t updated = 0;
  for (const std::string& id : ids) {
    if (!IsPlainName(id)) continue;
    struct stat report {};
    if (::fstatat(reports_dir.get(), (id + ".xml").c_str(), &report, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(report.st_mode)) {
      continue;
    }
    bool due = true;
    struct stat journal {};
    if (journaled.count(id) != 0 &&
        ::fstatat(events_dir.get(), (id + ".jsonl").c_str(), &journal, AT_SYMLINK_NOFOLLOW) == 0) {
      // A journal written well after the report's last change is up to date;
      // otherwise its last event tells which reading of the report it saw.
      due = false;
      if (MtimeNs(journal) - MtimeNs(report) < 2'000'000'000LL) {
        std::lock_guard lock(mutex_);
        due = StateOf(id).report_mtime != MtimeNs(report);
      }
    }
    if (due && Update(id)) ++updated;
  }
  return updated;
}

void EventHub::Subscribe(const std::string& id, std::uint64_t after,
                         std::shared_ptr<EventChannel> channel) {
  std::lock_guard lock(mutex_);
  std::uint64_t last = after;
  for (const auto& event : ReadEvents(JournalPath(root_, id), after)) {
    channel->Push(SseText(event));
    last = event["seq"].get<std::uint64_t>();
  }
  if (StateOf(id).Finished()) {
    channel->Finish();
    if (streams_.count(id) == 0) states_.erase(id);
    return;
  }
  streams_.emplace(id, Stream{last + 1, std::move(channel)});
}

void EventHub::KeepAlive() {
  std::lock_guard lock(mutex_);
  for (auto it = streams_.begin(); it != streams_.end();) {
    if (it->second.channel->Gone()) {
      it = streams_.erase(it);
    } else {
      it->second.channel->Push(": keep-alive\n\n");
      ++it;
    }
  }
}

std::size_t EventHub::StreamCount() {
  std::lock_guard lock(mutex_);
  return streams_.size();
}

}  // namespace ringwell::api
