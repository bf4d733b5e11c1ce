// A report as the command-line client shows it: read from the toolkit's report
// objects into plain values, with what the request file still tells (the
// window, when each recipient is tried next, the text each sound file was
// spoken from), what the report keeps of the request once the file is gone
// (the window and each message part), whom it reached, and the cause of an
// error status; rendered as a table (times in
// the user's zone) or as JSON (times with their offset), and compared with an
// earlier reading to print what changed while following a request.
//
// Thread-safety: plain values; reading uses the toolkit objects of the
// calling thread.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "delivery.h"
#include "request_file_view.h"
#include "ringwell/common/ole_date.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel::client {

struct CallView {
  OleDate time = 0;
  std::string answer;
  std::string protocol;
  std::int32_t duration = -1;
  std::string status;
  std::string error;
  std::string answered_by;  // "Human", "Machine", "Unknown"; empty when the call does not say
};

struct NextAttempt {
  std::optional<OleDate> time;  // when the recipient is due next, if known
  std::string note;             // "due now", "calling now", "after Busy, 10 min", ...
};

struct RecipientView {
  std::string recipient;
  std::string status;
  std::vector<CallView> calls;
  NextAttempt next;
};

struct ReportView {
  std::string id;
  std::string status;
  EKelRequestType type = kelCallRequest;
  std::string additional_info;
  std::vector<RecipientView> recipients;
  std::optional<RequestFileView> request;   // while the request file is there
  std::optional<RequestRecordView> record;  // what the report keeps of the request
  std::string cause;                        // why an error status came about, when known
};

// Reads the report of `id`; `root` (ending in "/") is where its request file
// may still be, `now` the local time for the next attempts.
ReportView ReadReport(const std::string& id, IKelReport* report, const std::string& root,
                      OleDate now);

// Keeps what `earlier` learnt from the request file that `later` can no
// longer read (the request file goes when the request is done).
void KeepRequestFacts(const ReportView& earlier, ReportView& later);

std::string RenderTable(const ReportView& report);
nlohmann::json ToJson(const ReportView& report);
// One call as ToJson(ReportView) gives it in a recipient's "calls".
nlohmann::json ToJson(const CallView& call);

// Lines describing what changed from `before` to `after` (statuses, new calls).
std::vector<std::string> Changes(const ReportView& before, const ReportView& after);

// Whether a request with this report status will change no more.
bool IsFinished(const std::string& status);

// The reached, failed and pending recipients of the report and its outcome.
Delivery DeliveryOf(const ReportView& report);

// Whether a finished request reached every recipient: the request
// "Completed" and every recipient "Completed" (a call) or "Sent" (a page).
bool ReachedEveryone(const ReportView& report);

}  // namespace ringwell::kel::client
