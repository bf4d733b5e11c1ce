#include "event_hub.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ringwell/common/event_log.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/status_file.h"
#include "ringwell/common/storage.h"
#include "thread_toolkit.h"

namespace ringwell::api {
namespace {

std::int64_t MtimeNs(const struct stat& status) {
  return status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec;
}

// The first bytes of a file (a report's Report element comes first).
std::string ReadHead(const std::string& path) {
  UniqueFd fd;
  if (Failed(OpenFile(path, O_RDONLY | O_NONBLOCK, 0, &fd))) return {};
  char buffer[1024];
  const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

std::string NowText() {
  const auto now = std::chrono::system_clock::now();
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis % 1000));
  return text;
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
  auto events = Diff(state, *report, NowText(), MtimeNs(status));
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
  std::vector<DirectoryEntry> entries;
  if (Failed(ListDirectory(root_ + kReportsDir, &entries))) return 0;
  std::size_t updated = 0;
  for (const DirectoryEntry& entry : entries) {
    const std::string& name = entry.name;
    if (entry.type != DirectoryEntry::Type::kFile || name.size() <= 4 ||
        name.compare(name.size() - 4, 4, ".xml") != 0) {
      continue;
    }
    const std::string id = name.substr(0, name.size() - 4);
    if (!IsPlainName(id)) continue;
    struct stat report {};
    struct stat journal {};
    if (Failed(LinkStatus(root_ + kReportsDir + "/" + name, &report))) continue;
    const bool journaled = Succeeded(LinkStatus(JournalPath(root_, id), &journal));
    bool due = false;
    if (journaled) {
      // A journal written well after the report's last change is up to date;
      // otherwise its last event tells which reading of the report it saw.
      if (MtimeNs(journal) - MtimeNs(report) < 2'000'000'000LL) {
        std::lock_guard lock(mutex_);
        due = StateOf(id).report_mtime != MtimeNs(report);
      }
    } else {
      due = true;
      // A finished request gets its journal when someone asks for it.
      const std::string head = ReadHead(root_ + kReportsDir + "/" + name);
      if (!head.empty()) {
        const std::size_t status = head.find(" Status=\"");
        const std::size_t report_end = head.find('>');
        if (status != std::string::npos && status < report_end) {
          const std::size_t begin = status + 9;
          due = !kel::client::IsFinished(head.substr(begin, head.find('"', begin) - begin));
        }
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
