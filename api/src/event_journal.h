// The event history of one request, as the API keeps it under the storage
// root: Events/<ID>.jsonl, one JSON object per line, numbered from 1 in the
// order the changes were seen:
//
//   {"seq": 3, "id": "{...}", "type": "recipient", "time": "2026-12-07T09:30:02.125Z",
//    "requestStatus": "InProgress", "recipient": "5551234", "index": 0,
//    "status": "InProgress", "reportMtime": 1796636402118503000}
//
// Types: "status" (the request's status, in "status"), "recipient" (a
// recipient's status: "recipient", "index" in the report, "status") and "call"
// (a call recorded for a recipient: "recipient", "index", "call" with time,
// answer, protocol, duration, status, error as the report gives them). Every
// event carries the request's status after it ("requestStatus") and the
// modification time of the report it was read from ("reportMtime", ns).
//
// Events come from comparing each reading of the report with the state the
// journal already tells (Fold): a change between two readings becomes one
// event per recipient status, call and request status that differs, calls
// first, then recipients, then the request. Lines are appended whole; a
// reader ignores a last line without its newline (still being written).
//
// Thread-safety: pure functions of values and files; one writer per journal
// at a time (the EventHub's lock of the request).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "report_view.h"
#include "ringwell/common/hresult.h"

namespace ringwell::api {

// What a journal tells of its request.
struct JournalState {
  std::uint64_t last_seq = 0;
  std::string request_status;
  struct Recipient {
    std::string status;
    std::size_t calls = 0;
  };
  std::vector<Recipient> recipients;
  std::int64_t report_mtime = 0;  // of the last report an event came from
  bool Finished() const;
};

// Events/<id>.jsonl below `root`.
std::string JournalPath(const std::string& root, const std::string& id);

// The events of a journal with seq above `after` (all: 0); empty for a
// missing file.
std::vector<nlohmann::json> ReadEvents(const std::string& path, std::uint64_t after = 0);
// The state after `events` (in order).
JournalState Fold(const std::vector<nlohmann::json>& events);

// The events that take `state` to `report`, numbered on from state.last_seq;
// `time_text` is when the change was seen, `report_mtime` the report's
// modification time.
std::vector<nlohmann::json> Diff(const JournalState& state, const kel::client::ReportView& report,
                                 const std::string& time_text, std::int64_t report_mtime);
// `state` with the events applied.
void Apply(JournalState& state, const std::vector<nlohmann::json>& events);

// The events of whole lines from byte `offset` of a journal on, about
// `max_bytes` of them (at least one line when there is one), and the offset
// after the last line read: a reader that keeps the offset reads every line
// once, however long the journal grows.
struct JournalChunk {
  std::vector<nlohmann::json> events;
  std::vector<std::uint64_t> ends;  // the offset after each event's line
  std::vector<std::string> lines;   // each event's line as written (without its newline)
  std::uint64_t next_offset = 0;
};
JournalChunk ReadEventsAt(const std::string& path, std::uint64_t offset,
                          std::size_t max_bytes = 256 * 1024);

// Appends the events as lines in one write, flushed to disk (fdatasync)
// before it returns: whatever is told of them later (a callback delivered)
// never refers to an event a power cut could take back.
HRESULT AppendEvents(const std::string& path, const std::vector<nlohmann::json>& events);

// An event as Server-Sent Events text ("id:", "event:", "data:", blank line).
std::string SseText(const nlohmann::json& event);

}  // namespace ringwell::api
