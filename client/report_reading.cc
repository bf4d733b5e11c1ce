// Reading a report: the toolkit's report objects, the request file while it is
// there, and the event log for the cause of an error status.
#include <cstdlib>
#include <fstream>

#include "listing.h"
#include "report_view.h"
#include "ringwell/common/text.h"
#include "toolkit.h"

namespace ringwell::kel::client {
namespace {

template <class Collection, class Member>
std::vector<ComPtr<Member>> Members(Collection* collection) {
  std::int32_t count = 0;
  Check(collection->get_Count(&count));
  std::vector<ComPtr<Member>> members;
  for (std::int32_t i = 0; i < count; ++i) {
    ComPtr<Member> member;
    Check(collection->get_Item(i, member.Put()));
    members.push_back(std::move(member));
  }
  return members;
}

CallView ReadCall(IKelCall* call) {
  CallView view;
  Check(call->get_Time(&view.time));
  Check(call->get_Answer(&view.answer));
  Check(call->get_Protocol(&view.protocol));
  Check(call->get_Duration(&view.duration));
  Check(call->get_Status(&view.status));
  Check(call->get_Error(&view.error));
  ComPtr<IKelCall2> more;
  if (call->QueryInterface(IKelCall2::kIid, more.PutVoid()) == S_OK) {
    Check(more->get_AnsweredBy(&view.answered_by));
  }
  return view;
}

// When the scheduler tries the recipient next, from its rules: a retry after
// the delay of the last call's outcome, the first call at the window's start.
NextAttempt PlanNext(const RecipientView& recipient, const RequestFileView* request, OleDate now) {
  if (recipient.status == "InProgress") return {now, "calling now"};
  if (IsFinalRecipientStatus(recipient.status)) {
    if (recipient.status == "Failed" && recipient.calls.empty()) {
      return {std::nullopt, "none: the window ended before a call was made"};
    }
    return {};
  }
  if (request == nullptr) return {};
  OleDate due = request->start;
  std::string note = "window start";
  if (!recipient.calls.empty()) {
    const CallView& last = recipient.calls.back();
    const RetryRule* rule = nullptr;
    if (EqualsIgnoringCase(last.answer, "Busy")) {
      rule = &request->busy;
    } else if (EqualsIgnoringCase(last.answer, "NoAnswer")) {
      rule = &request->no_answer;
    } else if (EqualsIgnoringCase(last.status, "Failed")) {
      rule = &request->error;
    }
    if (rule == nullptr) return {};
    const long seconds = last.duration > 0 ? last.duration : 0;
    due = AddMinutes(last.time + seconds / 86400.0, rule->delay_minutes);
    note = "after " + (last.answer.empty() ? last.status : last.answer) + ", " +
           std::to_string(rule->delay_minutes) + " min";
  }
  if (LinearDate(due) > LinearDate(request->stop)) {
    return {std::nullopt, "none: the window ends first"};
  }
  if (LinearDate(due) <= LinearDate(now)) return {now, "due now"};
  return {due, note};
}

std::string StatusCause(const std::string& status) {
  if (status == "ErrorNoFile") {
    return "a file to play was not in the file store when the request was prepared";
  }
  if (status == "ErrorConvertFile") return "a file to play could not be converted for the lines";
  if (status == "ErrorGenerateVoiceFile") return "a text could not be spoken into a sound file";
  if (status == "InternalError") return "the daemon failed while preparing the request";
  return {};
}

// The error entries of the event log file (when $RINGWELL_EVENTLOG names one)
// that mention `id`.
std::string LoggedErrors(const std::string& id) {
  const char* path = std::getenv("RINGWELL_EVENTLOG");
  if (path == nullptr || *path == '\0') return {};
  std::ifstream log(path);
  std::string line;
  std::string found;
  while (std::getline(log, line)) {
    if (line.find(id) == std::string::npos) continue;
    const auto entry = nlohmann::json::parse(line, nullptr, false);
    if (entry.is_discarded() || entry.value("type", "") != "error") continue;
    found += (found.empty() ? "" : "; ") + std::string(Trim(entry.value("text", "")));
  }
  return found;
}

}  // namespace

ReportView ReadReport(const std::string& id, IKelReport* report, const std::string& root,
                      OleDate now) {
  ReportView view;
  view.id = id;
  Check(report->get_Status(&view.status));
  Check(report->get_Type(&view.type));
  Check(report->get_AdditionalInfo(&view.additional_info));
  view.request = ReadRequestFile(root, id);
  view.record = ReadRequestRecord(root, id);
  ComPtr<IKelSubReports> sub_reports;
  Check(report->get_SubReports(sub_reports.Put()));
  for (const auto& sub : Members<IKelSubReports, IKelSubReport>(sub_reports.Get())) {
    RecipientView recipient;
    Check(sub->get_Recipient(&recipient.recipient));
    Check(sub->get_Status(&recipient.status));
    ComPtr<IKelCalls> calls;
    Check(sub->get_Calls(calls.Put()));
    for (const auto& call : Members<IKelCalls, IKelCall>(calls.Get())) {
      recipient.calls.push_back(ReadCall(call.Get()));
    }
    recipient.next = PlanNext(recipient, view.request ? &*view.request : nullptr, now);
    view.recipients.push_back(std::move(recipient));
  }
  view.cause = StatusCause(view.status);
  if (!view.cause.empty()) {
    if (const std::string logged = LoggedErrors(id); !logged.empty()) {
      view.cause += " (logged: " + logged + ")";
    }
  }
  return view;
}

void KeepRequestFacts(const ReportView& earlier, ReportView& later) {
  if (!later.request && earlier.request) later.request = earlier.request;
  if (!later.record && earlier.record) later.record = earlier.record;
}

}  // namespace ringwell::kel::client
