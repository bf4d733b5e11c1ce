// What the client can still learn from a request's own file while the request
// is under way (Inbox/ID.xml before preprocessing, Requests/ID.xml after; the
// scheduler deletes it when the request is done): its window, its retry rules
// and which text each generated sound file was spoken from.
//
// Thread-safety: reads files only; any thread may call it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ringwell/common/ole_date.h"

namespace ringwell::kel::client {

// The attribute the client puts on each text part with the text itself: the
// daemon replaces a text part's content with the name of the sound file it
// speaks the text into, and keeps the part's other attributes.
inline constexpr char kSpokenTextAttribute[] = "SpokenText";

struct RetryRule {
  int attempts = 0;
  int delay_minutes = 0;
};

struct RequestFileView {
  OleDate start = 0;
  OleDate stop = 0;
  RetryRule busy;
  RetryRule no_answer;
  RetryRule error;
  // Sound file name -> the text it was spoken from.
  std::map<std::string, std::string> spoken;
};

// The request file of `id` below `root` (ending in "/"), or nothing when it
// is gone or cannot be read.
std::optional<RequestFileView> ReadRequestFile(const std::string& root, const std::string& id);

// What the report keeps of a request once it is scheduled (its RequestRecord
// element), so the window and the parts are known after the request file is
// gone.
struct RecordedPart {
  std::string keys;     // buttons of the responses leading to it; "" for the first message
  bool spoken = false;  // a text (else a recording)
  std::string content;  // the text, or the recording's name
  std::string file;     // the sound file played ("" for a text not spoken, e.g. a page)
};
struct RequestRecordView {
  std::optional<OleDate> start;
  std::optional<OleDate> stop;
  std::vector<RecordedPart> parts;
};

// The record in the report of `id` below `root`, or nothing when the report
// has none (made before the daemon kept one, or not yet scheduled).
std::optional<RequestRecordView> ReadRequestRecord(const std::string& root, const std::string& id);

}  // namespace ringwell::kel::client
