#include "event_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "user_time.h"

namespace ringwell::api {
namespace {

constexpr std::size_t kMaxJournalBytes = 64u << 20;

nlohmann::json Event(const std::string& id, std::uint64_t seq, const char* type,
                     const std::string& time_text, const std::string& request_status,
                     std::int64_t report_mtime) {
  return {{"seq", seq},
          {"id", id},
          {"type", type},
          {"time", time_text},
          {"requestStatus", request_status},
          {"reportMtime", report_mtime}};
}

// A line is an event only in the shape the API writes one: a damaged line
// (a journal edited by hand, say) is skipped, never trusted.
bool IsEvent(const nlohmann::json& event) {
  if (!event.is_object()) return false;
  const auto seq = event.find("seq");
  if (seq == event.end() || !seq->is_number_unsigned()) return false;
  for (const char* key : {"id", "type", "time", "requestStatus", "status", "recipient"}) {
    const auto found = event.find(key);
    if (found != event.end() && !found->is_string()) return false;
  }
  for (const char* key : {"index", "reportMtime"}) {
    const auto found = event.find(key);
    if (found != event.end() && !found->is_number_integer()) return false;
  }
  return true;
}

}  // namespace

bool JournalState::Finished() const { return kel::client::IsFinished(request_status); }

std::string JournalPath(const std::string& root, const std::string& id) {
  return root + kEventsDir + "/" + id + ".jsonl";
}

std::vector<nlohmann::json> ReadEvents(const std::string& path, std::uint64_t after) {
  std::vector<nlohmann::json> events;
  UniqueFd fd;
  if (Failed(OpenFile(path, O_RDONLY, 0, &fd))) return events;
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || text.size() > kMaxJournalBytes) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    auto event =
        nlohmann::json::parse(std::string_view(text).substr(start, end - start), nullptr, false);
    if (IsEvent(event) && event["seq"].get<std::uint64_t>() > after) {
      events.push_back(std::move(event));
    }
  }
  return events;
}

JournalChunk ReadEventsAt(const std::string& path, std::uint64_t offset, std::size_t max_bytes) {
  JournalChunk chunk;
  chunk.next_offset = offset;
  UniqueFd fd;
  if (Failed(OpenFile(path, O_RDONLY, 0, &fd))) return chunk;
  std::string text;
  std::size_t whole = 0;  // bytes of `text` up to its last newline
  char buffer[65536];
  while (text.size() < max_bytes || whole == 0) {
    const ssize_t got =
        ::pread(fd.get(), buffer, sizeof buffer, static_cast<off_t>(offset + text.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || text.size() > kMaxJournalBytes) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (const std::size_t last = text.rfind('\n'); last != std::string::npos) whole = last + 1;
  }
  std::size_t start = 0;
  for (std::size_t end; start < whole && (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    auto event =
        nlohmann::json::parse(std::string_view(text).substr(start, end - start), nullptr, false);
    if (IsEvent(event)) {
      chunk.events.push_back(std::move(event));
      chunk.ends.push_back(offset + end + 1);
      chunk.lines.emplace_back(std::string_view(text).substr(start, end - start));
    }
  }
  chunk.next_offset = offset + whole;
  return chunk;
}

void Apply(JournalState& state, const std::vector<nlohmann::json>& events) {
  for (const nlohmann::json& event : events) {
    state.last_seq = event.value("seq", state.last_seq);
    state.request_status = event.value("requestStatus", state.request_status);
    state.report_mtime = event.value("reportMtime", state.report_mtime);
    const std::string type = event.value("type", "");
    if (type != "recipient" && type != "call") continue;
    const std::size_t index = event.value("index", std::size_t{0});
    if (index >= 100000) continue;
    if (state.recipients.size() <= index) state.recipients.resize(index + 1);
    if (type == "recipient") {
      state.recipients[index].status = event.value("status", "");
    } else {
      ++state.recipients[index].calls;
    }
  }
}

JournalState Fold(const std::vector<nlohmann::json>& events) {
  JournalState state;
  Apply(state, events);
  return state;
}

std::vector<nlohmann::json> Diff(const JournalState& state, const kel::client::ReportView& report,
                                 const std::string& time_text, std::int64_t report_mtime) {
  std::vector<nlohmann::json> events;
  std::uint64_t seq = state.last_seq;
  for (std::size_t i = 0; i < report.recipients.size(); ++i) {
    const auto& now = report.recipients[i];
    const std::size_t known = i < state.recipients.size() ? state.recipients[i].calls : 0;
    for (std::size_t c = known; c < now.calls.size(); ++c) {
      auto event = Event(report.id, ++seq, "call", time_text, report.status, report_mtime);
      event["recipient"] = now.recipient;
      event["index"] = i;
      event["call"] = kel::client::ToJson(now.calls[c]);  // only the new calls, not the report
      events.push_back(std::move(event));
    }
    const std::string before = i < state.recipients.size() ? state.recipients[i].status : "";
    if (now.status != before && !now.status.empty()) {
      auto event = Event(report.id, ++seq, "recipient", time_text, report.status, report_mtime);
      event["recipient"] = now.recipient;
      event["index"] = i;
      event["status"] = now.status;
      events.push_back(std::move(event));
    }
  }
  if (report.status != state.request_status && !report.status.empty()) {
    auto event = Event(report.id, ++seq, "status", time_text, report.status, report_mtime);
    event["status"] = report.status;
    events.push_back(std::move(event));
  }
  return events;
}

HRESULT AppendEvents(const std::string& path, const std::vector<nlohmann::json>& events) {
  if (events.empty()) return S_FALSE;
  std::string text;
  for (const auto& event : events) {
    text += event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text += '\n';
  }
  UniqueFd fd;
  HRESULT hr = OpenFile(path, O_WRONLY | O_APPEND | O_CREAT, 0660, &fd);
  if (Failed(hr)) return hr;
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) return HresultFromErrno(errno);
  if (!WriteAll(fd.get(), text)) {
    // A full disk takes part of the lines: they go, so that the next append
    // starts on a line of its own; a journal that held nothing goes too.
    const HRESULT failed = HresultFromErrno(errno);
    const bool taken_back = before.st_size == 0 ? Succeeded(RemoveFile(path))
                                                : ::ftruncate(fd.get(), before.st_size) == 0;
    static_cast<void>(taken_back);  // the failure to write is what counts
    return failed;
  }
  if (::fdatasync(fd.get()) != 0) return HresultFromErrno(errno);
  return fd.Close();
}

std::string SseText(const nlohmann::json& event) {
  return "id: " + std::to_string(event.value("seq", std::uint64_t{0})) +
         "\nevent: " + event.value("type", "message") +
         "\ndata: " + event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n\n";
}

}  // namespace ringwell::api
