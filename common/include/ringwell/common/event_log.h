// CEventLog: the event-log writer of one deliverable. It registers the
// deliverable's event source in the registry store (key
// SYSTEM\CurrentControlSet\Services\EventLog\Application\<source> with
// EventMessageFile and TypesSupported), formats numbered messages from the
// deliverable's message table, and writes entries to the system journal
// (structured fields: source as identifier, priority from the severity, event
// id, insertion strings, formatted text). When $RINGWELL_EVENTLOG names a file,
// every entry is also appended to it as one JSON line; $RINGWELL_JOURNAL=0
// turns the journal off (tests use both).
//
// The texts and insertion strings are exactly those of the message tables:
// operators' log filters match them. What an entry concerns beyond that (the
// request, the file, the line) travels beside it as an EventContext.
//
// Each deliverable has one CEventLog, built on first use and kept for the
// life of the process. A component library builds it when it is loaded, with
// an EventSourceAtLoad, so that its source is registered whether or not it
// ever logs.
//
// Thread-safety: after construction every method may be called from any
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ringwell/common/message_tables.h"

namespace ringwell {

enum class EventType : std::uint16_t { kError = 1, kWarning = 2, kInformation = 4 };

// The event type a message identifier's severity bits give.
EventType EventTypeOf(std::uint32_t message_id);

// What an entry concerns, written beside it and never into its text: the
// journal fields RINGWELL_REQUEST_ID=, RINGWELL_PATH= and RINGWELL_LINE=, and
// the keys "request_id", "path" and "line" of the JSON line, each only when
// given. Several requests (a batch of pages) are listed separated by ", ".
struct EventContext {
  std::string request_id = {};
  std::string path = {};
  std::optional<std::int32_t> line = {};
};

class CEventLog {
 public:
  // Registers `source` with `module_path` as its message file (only when the
  // registry store exists, in its drop-in "event-sources"; failures are ignored, entries are
  // written regardless).
  CEventLog(std::string source, std::string module_path, MessageTable table);

  void ReportOneString(EventType type, std::uint32_t id, std::string_view s,
                       const EventContext& context = {}) const;
  void ReportTwoStrings(EventType type, std::uint32_t id, std::string_view s1, std::string_view s2,
                        const EventContext& context = {}) const;
  // An entry of the module's own that is not in the message table (event
  // identifier as given, text as is).
  void ReportText(EventType type, std::uint32_t id, std::string_view text,
                  const EventContext& context = {}) const;

  // The message `id` with %1, %2 filled from `inserts` (missing ones empty),
  // keeping the table's trailing CR LF; empty when `id` is not in the table.
  std::string FormatMessage(std::uint32_t id, std::span<const std::string_view> inserts) const;

  const std::string& source() const { return source_; }
  const std::string& module_path() const { return module_path_; }
  bool registered() const { return registered_; }

  // Key of an event source below HKEY_LOCAL_MACHINE.
  static std::string SourceKeyPath(std::string_view source);

 private:
  void Write(EventType type, std::uint32_t id, std::span<const std::string_view> strings,
             const std::string& text, const EventContext& context) const;

  std::string source_;
  std::string module_path_;
  MessageTable table_;
  bool registered_ = false;
};

// Registers a component library's event source when the library is loaded:
// one object at namespace scope of its entry-point file,
//   const EventSourceAtLoad kEventSource(&TallierEventLog);
// builds the library's CEventLog (which registers the source) while the
// library is being loaded.
class EventSourceAtLoad {
 public:
  explicit EventSourceAtLoad(const CEventLog& (*event_log)()) { event_log(); }
};

}  // namespace ringwell
