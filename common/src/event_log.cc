#include "ringwell/common/event_log.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "ringwell/common/hresult.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/common/registry.h"

namespace ringwell {
namespace {

constexpr std::uint32_t kTypesSupported = 7;

bool JournalEnabled() {
  const char* env = std::getenv("RINGWELL_JOURNAL");
  return env == nullptr || std::string_view(env) != "0";
}

int PriorityOf(EventType type) {
  switch (type) {
    case EventType::kError:
      return LOG_ERR;
    case EventType::kWarning:
      return LOG_WARNING;
    case EventType::kInformation:
      return LOG_INFO;
  }
  return LOG_INFO;
}

const char* NameOf(EventType type) {
  switch (type) {
    case EventType::kError:
      return "error";
    case EventType::kWarning:
      return "warning";
    case EventType::kInformation:
      return "information";
  }
  return "information";
}

std::string WithoutLineBreak(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void AppendJsonLine(const char* path, const std::string& line) {
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // One write per entry, so entries of concurrent writers never interleave.
  [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

}  // namespace

EventType EventTypeOf(std::uint32_t message_id) {
  switch (message_id >> 30) {
    case 3:
      return EventType::kError;
    case 2:
      return EventType::kWarning;
    default:
      return EventType::kInformation;
  }
}

std::string CEventLog::SourceKeyPath(std::string_view source) {
  return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + std::string(source);
}

CEventLog::CEventLog(std::string source, std::string module_path, MessageTable table)
    : source_(std::move(source)), module_path_(std::move(module_path)), table_(table) {
  if (!registry::StoreExists()) return;
  const std::string key = SourceKeyPath(source_);
  // Every deliverable's source goes to one drop-in, whichever program runs it.
  const registry::DropInScope scope("event-sources");
  HRESULT hr = registry::Edit([&](registry::Tree& tree) {
    tree.Set(key, "EventMessageFile", module_path_);
    tree.Set(key, "TypesSupported", kTypesSupported);
  });
  registered_ = Succeeded(hr);
}

std::string CEventLog::FormatMessage(std::uint32_t id,
                                     std::span<const std::string_view> inserts) const {
  std::string_view pattern;
  for (const MessageEntry& entry : table_) {
    if (entry.id == id) pattern = entry.text;
  }
  std::string text;
  text.reserve(pattern.size() + 64);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      text += c;
      continue;
    }
    const char next = pattern[i + 1];
    if (next >= '1' && next <= '9') {
      const std::size_t index = static_cast<std::size_t>(next - '1');
      if (index < inserts.size()) text += inserts[index];
      ++i;
    } else if (next == '%') {
      text += '%';
      ++i;
    } else {
      text += c;
    }
  }
  return text;
}

void CEventLog::ReportOneString(EventType type, std::uint32_t id, std::string_view s,
                                const EventContext& context) const {
  const std::string_view strings[] = {s};
  Write(type, id, strings, FormatMessage(id, strings), context);
}

void CEventLog::ReportTwoStrings(EventType type, std::uint32_t id, std::string_view s1,
                                 std::string_view s2, const EventContext& context) const {
  const std::string_view strings[] = {s1, s2};
  Write(type, id, strings, FormatMessage(id, strings), context);
}

void CEventLog::ReportText(EventType type, std::uint32_t id, std::string_view text,
                           const EventContext& context) const {
  const std::string_view strings[] = {text};
  Write(type, id, strings, std::string(text), context);
}

void CEventLog::Write(EventType type, std::uint32_t id, std::span<const std::string_view> strings,
                      const std::string& text, const EventContext& context) const {
  try {
    const std::string message = WithoutLineBreak(text);
    if (JournalEnabled()) {
      std::vector<std::string> fields = {
          "MESSAGE=" + message,
          "PRIORITY=" + std::to_string(PriorityOf(type)),
          "SYSLOG_IDENTIFIER=" + source_,
          "RINGWELL_EVENT_ID=" + HexCode(id),
          "RINGWELL_EVENT_TYPE=" + std::string(NameOf(type)),
          "RINGWELL_STRING1=" + std::string(strings.size() > 0 ? strings[0] : std::string_view()),
          "RINGWELL_STRING2=" + std::string(strings.size() > 1 ? strings[1] : std::string_view()),
          "RINGWELL_STRING_COUNT=" + std::to_string(strings.size()),
      };
      if (!context.request_id.empty())
        fields.push_back("RINGWELL_REQUEST_ID=" + context.request_id);
      if (!context.path.empty()) fields.push_back("RINGWELL_PATH=" + context.path);
      if (context.line) fields.push_back("RINGWELL_LINE=" + std::to_string(*context.line));
      std::vector<iovec> parts;
      for (std::string& field : fields) parts.push_back({field.data(), field.size()});
      sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
    }
    if (const char* path = std::getenv("RINGWELL_EVENTLOG"); path != nullptr && *path != '\0') {
      nlohmann::json entry = {
          {"time", OleDateToIso(OleDateNow())},
          {"pid", static_cast<int>(::getpid())},
          {"source", source_},
          {"type", NameOf(type)},
          {"event_id", id},
          {"strings", std::vector<std::string>(strings.begin(), strings.end())},
          {"text", text},
      };
      if (!context.request_id.empty()) entry["request_id"] = context.request_id;
      if (!context.path.empty()) entry["path"] = context.path;
      if (context.line) entry["line"] = *context.line;
      AppendJsonLine(path,
                     entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    }
  } catch (...) {
    // Failures of event writing are not reported anywhere.
  }
}

}  // namespace ringwell
