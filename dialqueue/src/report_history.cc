#include "report_history.h"

#include <algorithm>

#include "retry_rules.h"
#include "ringwell/common/text.h"
#include "ringwell/common/xml.h"

namespace ringwell::dialqueue {

bool IsFinalStatus(std::string_view status) {
  for (std::string_view open : {"", "Processing", "Scheduled", "InProgress"}) {
    if (EqualsIgnoringCase(Trim(status), open)) return false;
  }
  return true;
}

std::string InterruptedCallXml(OleDate time) {
  xml::Document document;
  pugi::xml_node call = xml::AppendElement(document.dom(), "Call");
  xml::SetAttribute(call, "Status", "Failed");
  xml::SetAttribute(call, "Error", "Interrupted: the scheduler stopped during the attempt");
  pugi::xml_node when = xml::AppendElement(call, "Time");
  xml::SetAttribute(when, "xmlns:dt", xml::kDataTypesNamespace);
  xml::SetTypedDate(when, time);
  xml::AppendElement(call, "Answer");
  xml::SetText(xml::AppendElement(call, "Protocol"), "Interrupted");
  return document.Xml();
}

std::optional<ReportHistory> ReportHistory::Read(const std::string& path) {
  xml::Document document;
  if (document.Load(path) != S_OK) return std::nullopt;
  ReportHistory history;
  const pugi::xml_node report = document.FirstChild();
  history.status_ = report.attribute("Status").value();
  for (pugi::xml_node sub : xml::ElementsByName(report, "SubReport")) {
    Recipient recipient{.status = sub.attribute("Status").value(), .calls = {}};
    for (pugi::xml_node call : xml::ElementsByName(sub, "Call")) {
      recipient.calls.push_back({.answer = xml::Text(xml::ChildElement(call, "Answer")),
                                 .status = call.attribute("Status").value(),
                                 .time = xml::TypedDate(xml::ChildElement(call, "Time"))});
    }
    history.by_number_[std::string(Trim(sub.attribute("Recipient").value()))].push_back(
        std::move(recipient));
  }
  return history;
}

bool ReportHistory::AllFinal() const {
  if (by_number_.empty()) return false;
  for (const auto& [number, recipients] : by_number_) {
    for (const Recipient& recipient : recipients) {
      if (!IsFinalStatus(recipient.status)) return false;
    }
  }
  return true;
}

namespace {

// The call a kept call result stands for; nullopt when it does not parse.
std::optional<ReportHistory::Call> CallOf(const std::string& result) {
  xml::Document document;
  if (document.LoadXml(result) != S_OK) return std::nullopt;
  const pugi::xml_node node = document.FirstChild();
  return ReportHistory::Call{.answer = xml::Text(xml::ChildElement(node, "Answer")),
                             .status = node.attribute("Status").value(),
                             .time = xml::TypedDate(xml::ChildElement(node, "Time"))};
}

}  // namespace

std::vector<bool> ReportHistory::Holds(const std::vector<KeptChange>& changes) const {
  std::vector<bool> held(changes.size(), false);
  std::map<std::string, std::vector<Call>, std::less<>> unmatched;  // calls not matched yet
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const KeptChange& change = changes[i];
    if (change.kind == tallier::ReportChange::kStatus && change.recipient.empty()) {
      held[i] = EqualsIgnoringCase(status_, change.text);
      continue;
    }
    const std::string_view number = Trim(change.recipient);
    const auto found = by_number_.find(number);
    if (found == by_number_.end() || found->second.empty()) continue;
    const Recipient& now = found->second.front();
    if (change.kind == tallier::ReportChange::kCallResult) {
      const std::optional<Call> call = CallOf(change.text);
      if (!call || !call->time) continue;  // never taken for another call
      std::vector<Call>& calls =
          unmatched.try_emplace(std::string(number), now.calls).first->second;
      const auto same = std::find_if(calls.begin(), calls.end(), [&](const Call& past) {
        return past.time == call->time && past.status == call->status &&
               past.answer == call->answer;
      });
      if (same == calls.end()) continue;
      calls.erase(same);
      held[i] = true;
    } else if (i > 0 && changes[i - 1].kind == tallier::ReportChange::kCallResult &&
               Trim(changes[i - 1].recipient) == number) {
      held[i] = held[i - 1];
    } else {
      held[i] = EqualsIgnoringCase(Trim(now.status), Trim(change.text)) ||
                (IsFinalStatus(now.status) && IsFinalStatus(change.text));
    }
  }
  return held;
}

void ReportHistory::Apply(const KeptChange& change) {
  if (change.kind == tallier::ReportChange::kStatus && change.recipient.empty()) {
    status_ = change.text;
    return;
  }
  const auto found = by_number_.find(Trim(change.recipient));
  if (found == by_number_.end()) return;
  Call call;
  if (change.kind == tallier::ReportChange::kCallResult) {
    const std::optional<Call> parsed = CallOf(change.text);
    if (!parsed) return;
    call = *parsed;
  }
  for (Recipient& recipient : found->second) {
    if (change.kind == tallier::ReportChange::kStatus) {
      recipient.status = change.text;
    } else {
      recipient.calls.push_back(call);
    }
  }
}

std::optional<ReportHistory::Recipient> ReportHistory::Next(std::string_view number) {
  const auto found = by_number_.find(number);
  if (found == by_number_.end() || found->second.empty()) return std::nullopt;
  Recipient next = std::move(found->second.front());
  found->second.pop_front();
  return next;
}

Resumption Resume(const ReportHistory::Recipient& past, CQueueEntry& entry, bool page,
                  OleDate now) {
  Resumption resumption;
  if (IsFinalStatus(past.status)) {
    resumption.finished = true;
    return resumption;
  }
  // Replays the recorded calls, then the interrupted one.
  auto replay = [&](const ReportHistory::Call& call) {
    if (SpendRetry(entry, RuleFor(call.answer, call.status, page), call.time.value_or(now))) {
      return true;
    }
    resumption.finished = true;
    resumption.status = call.status.empty() ? "Failed" : call.status;
    return false;
  };
  for (const ReportHistory::Call& call : past.calls) {
    // A result recorded without its status (by a writer that saved them one
    // at a time): the attempt it ended needs no interruption.
    if (!replay(call)) return resumption;
  }
  if (EqualsIgnoringCase(Trim(past.status), "InProgress")) {
    resumption.interrupted_call = InterruptedCallXml(now);
    if (replay({.answer = "", .status = "Failed", .time = now})) resumption.status = "Scheduled";
  }
  return resumption;
}

}  // namespace ringwell::dialqueue
