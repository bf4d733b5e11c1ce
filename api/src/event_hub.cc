#include "event_hub.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_set>

#include "ringwell/common/directory_lock.h"
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

void EventHub::OnEvents(std::function<void(const std::string&, std::uint64_t)> listener) {
  listener_ = std::move(listener);
}

std::pair<std::shared_ptr<EventHub::Entry>, std::unique_lock<std::mutex>> EventHub::Lock(
    const std::string& id) {
  for (;;) {
    std::shared_ptr<Entry> entry;
    {
      MutexLock table(table_mutex_);
      auto& slot = entries_[id];
      if (!slot) slot = std::make_shared<Entry>();
      entry = slot;
    }
    std::unique_lock lock(entry->mutex.native());
    entry->mutex.AssertHeld();
    if (!entry->retired) return {std::move(entry), std::move(lock)};
  }
}

void EventHub::Retire(const std::string& id, Entry& entry) {
  MutexLock table(table_mutex_);
  if (const auto found = entries_.find(id);
      found != entries_.end() && found->second.get() == &entry) {
    entries_.erase(found);
  }
  entry.retired = true;
}

JournalState& EventHub::StateOf(const std::string& id, Entry& entry) {
  if (!entry.state) entry.state = Fold(ReadEvents(JournalPath(root_, id)));
  return *entry.state;
}

std::optional<JournalState> EventHub::Update(const std::string& id) {
  std::optional<JournalState> state;
  std::uint64_t before = 0;
  {
    auto [entry, lock] = Lock(id);
    entry->mutex.AssertHeld();
    before = entry->state ? entry->state->last_seq : 0;
    if (!entry->state && IsRegularFile(JournalPath(root_, id))) {
      before = StateOf(id, *entry).last_seq;
    }
    state = UpdateLocked(id, *entry);
  }
  if (state && state->last_seq > before && listener_) listener_(id, state->last_seq);
  return state;
}

std::optional<JournalState> EventHub::UpdateLocked(const std::string& id, Entry& entry) {
  if (!shared_) return UpdateJournal(id, entry);
  const std::string journal = JournalPath(root_, id);
  const auto size = [&journal] {
    struct stat status {};
    return Succeeded(LinkStatus(journal, &status)) ? static_cast<std::int64_t>(status.st_size) : 0;
  };
  DirectoryLock lock;
  if (const HRESULT hr = DirectoryLock::Acquire(journal, &lock); Failed(hr)) {
    log_.ReportText(EventType::kError, 3,
                    "cannot lock the events of " + id + " in " + journal + ": " + ErrorText(hr));
    return std::nullopt;
  }
  if (size() != entry.journal_size) {  // another instance wrote (or nothing was read yet)
    entry.state.reset();
    Forward(id, entry);
  }
  std::optional<JournalState> state = UpdateJournal(id, entry);
  entry.journal_size = size();
  return state;
}

void EventHub::Forward(const std::string& id, Entry& entry) {
  if (entry.streams.empty()) return;
  std::uint64_t from = entry.streams.front().next;
  for (const Stream& stream : entry.streams) from = std::min(from, stream.next);
  const std::vector<nlohmann::json> events = ReadEvents(JournalPath(root_, id), from - 1);
  if (events.empty()) return;
  const bool finished = StateOf(id, entry).Finished();
  for (auto it = entry.streams.begin(); it != entry.streams.end();) {
    for (const auto& event : events) {
      const std::uint64_t seq = event["seq"].get<std::uint64_t>();
      if (seq < it->next) continue;
      it->channel->Push(SseText(event));
      it->next = seq + 1;
    }
    if (finished || it->channel->Gone()) {
      it->channel->Finish();
      it = entry.streams.erase(it);
    } else {
      ++it;
    }
  }
}

std::optional<JournalState> EventHub::UpdateJournal(const std::string& id, Entry& entry) {
  const std::string report_path = StorageLayout{root_}.ReportFile(id);
  struct stat status {};
  if (Failed(LinkStatus(report_path, &status)) || !S_ISREG(status.st_mode)) {
    if (entry.streams.empty()) Retire(id, entry);
    return std::nullopt;
  }
  std::optional<kel::client::ReportView> report;
  try {
    report = ReadReportOf(root_, id);
  } catch (const std::exception& e) {
    log_.ReportText(EventType::kWarning, 2, "cannot read the report of " + id + ": " + e.what());
  }
  JournalState& state = StateOf(id, entry);
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
    for (auto it = entry.streams.begin(); it != entry.streams.end();) {
      for (const auto& event : events) {
        if (event["seq"].get<std::uint64_t>() >= it->next) it->channel->Push(SseText(event));
      }
      it->next = state.last_seq + 1;
      if (state.Finished() || it->channel->Gone()) {
        it->channel->Finish();
        it = entry.streams.erase(it);
      } else {
        ++it;
      }
    }
  }
  JournalState copy = state;
  if (copy.Finished() && entry.streams.empty()) Retire(id, entry);
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
        auto [entry, lock] = Lock(id);
        entry->mutex.AssertHeld();
        const JournalState& state = StateOf(id, *entry);
        due = state.report_mtime != MtimeNs(report);
        if (!due && state.Finished() && entry->streams.empty()) Retire(id, *entry);
      }
    }
    if (due && Update(id)) ++updated;
  }
  return updated;
}

void EventHub::Subscribe(const std::string& id, std::uint64_t after,
                         std::shared_ptr<EventChannel> channel) {
  auto [entry, lock] = Lock(id);
  entry->mutex.AssertHeld();
  std::uint64_t last = after;
  for (const auto& event : ReadEvents(JournalPath(root_, id), after)) {
    channel->Push(SseText(event));
    last = event["seq"].get<std::uint64_t>();
  }
  if (StateOf(id, *entry).Finished()) {
    channel->Finish();
    if (entry->streams.empty()) Retire(id, *entry);
    return;
  }
  entry->streams.push_back(Stream{last + 1, std::move(channel)});
}

void EventHub::KeepAlive() {
  std::vector<std::shared_ptr<Entry>> entries;
  {
    MutexLock table(table_mutex_);
    for (const auto& [id, entry] : entries_) entries.push_back(entry);
  }
  for (const auto& entry : entries) {
    MutexLock lock(entry->mutex);
    std::erase_if(entry->streams, [](const Stream& stream) { return stream.channel->Gone(); });
    for (const Stream& stream : entry->streams) stream.channel->Push(": keep-alive\n\n");
  }
}

std::size_t EventHub::StreamCount() {
  std::vector<std::shared_ptr<Entry>> entries;
  {
    MutexLock table(table_mutex_);
    for (const auto& [id, entry] : entries_) entries.push_back(entry);
  }
  std::size_t count = 0;
  for (const auto& entry : entries) {
    MutexLock lock(entry->mutex);
    count += entry->streams.size();
  }
  return count;
}

}  // namespace ringwell::api
