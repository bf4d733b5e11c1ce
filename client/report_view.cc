#include "report_view.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <utility>

#include "user_time.h"

namespace ringwell::kel::client {
namespace {

std::string Duration(std::int32_t seconds) {
  return seconds < 0 ? "-" : std::to_string(seconds) + "s";
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

std::string Pad(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// Sound file name -> the text it was spoken from: from the request file while
// it is there, else from the report's record of the request.
std::map<std::string, std::string> SpokenFiles(const ReportView& report) {
  if (report.request) return report.request->spoken;
  std::map<std::string, std::string> spoken;
  if (report.record) {
    for (const RecordedPart& part : report.record->parts) {
      if (part.spoken && !part.file.empty()) spoken[part.file] = part.content;
    }
  }
  return spoken;
}

// A protocol line with the text each generated sound file was spoken from.
std::string Explained(std::string line, const std::map<std::string, std::string>& spoken) {
  for (const auto& [file, text] : spoken) {
    const std::size_t at = line.find(file);
    if (at != std::string::npos) line.insert(at + file.size(), " (\"" + text + "\")");
  }
  return line;
}

// The window: the request file's, else the one the report kept.
std::optional<std::pair<OleDate, OleDate>> Window(const ReportView& report) {
  if (report.request) return std::pair{report.request->start, report.request->stop};
  if (report.record && report.record->start && report.record->stop) {
    return std::pair{*report.record->start, *report.record->stop};
  }
  return std::nullopt;
}

std::string PartLine(const RecordedPart& part) {
  std::string line = part.keys.empty() ? "first message: " : "after key " + part.keys + ": ";
  if (part.spoken) {
    line += "\"" + part.content + "\"";
    if (!part.file.empty()) line += " (spoken into " + part.file + ")";
  } else {
    line += part.content + " (recording)";
  }
  return line;
}

// The protocol of a call, one step per line, indented.
void WriteProtocol(std::ostream& out, const std::string& protocol,
                   const std::map<std::string, std::string>& spoken) {
  std::istringstream lines(protocol);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out << "        " << Explained(line, spoken) << "\n";
  }
}

std::string CallLine(const CallView& call) {
  std::string line = UserTime(call.time) + "  " + Pad(OrDash(call.answer), 10) +
                     Pad(Duration(call.duration), 6) + OrDash(call.status);
  if (!call.error.empty()) line += " (" + call.error + ")";
  if (!call.answered_by.empty()) line += "  answered by " + call.answered_by;
  return line;
}

std::string NextText(const NextAttempt& next) {
  if (!next.time) return next.note.empty() ? "-" : next.note;
  if (next.note == "due now" || next.note == "calling now") return next.note;
  return UserTime(*next.time) + " (" + next.note + ")";
}

const char* TypeWord(EKelRequestType type) { return type == kelPageRequest ? "page" : "call"; }

}  // namespace

std::string RenderTable(const ReportView& report) {
  std::ostringstream out;
  out << "Request " << report.id << "  " << TypeWord(report.type) << "  " << OrDash(report.status)
      << "\n";
  const Delivery delivery = DeliveryOf(report);
  if (!report.recipients.empty()) {
    out << "Outcome: " << delivery.outcome << "  (reached " << delivery.reached << ", failed "
        << delivery.failed << ", pending " << delivery.pending << ")\n";
  }
  if (!report.cause.empty()) out << "Cause:  " << report.cause << "\n";
  if (const auto window = Window(report)) {
    out << "Window: " << UserTime(window->first) << " - " << UserTime(window->second) << "  ("
        << UserZoneLabel() << ")\n";
  } else {
    out << "Window: - (not kept in this report)\n";
  }
  if (report.record && !report.record->parts.empty()) {
    out << "Message:\n";
    for (const RecordedPart& part : report.record->parts) out << "    " << PartLine(part) << "\n";
  }
  const auto spoken = SpokenFiles(report);
  std::size_t width = 12;
  for (const auto& r : report.recipients) width = std::max(width, r.recipient.size() + 2);
  out << Pad("RECIPIENT", width) << Pad("STATUS", 14) << Pad("CALLS", 7) << "NEXT ATTEMPT\n";
  for (const auto& r : report.recipients) {
    out << Pad(r.recipient, width) << Pad(OrDash(r.status), 14)
        << Pad(std::to_string(r.calls.size()), 7) << NextText(r.next) << "\n";
    for (const auto& call : r.calls) {
      out << "    " << CallLine(call) << "\n";
      WriteProtocol(out, call.protocol, spoken);
    }
  }
  if (!report.additional_info.empty()) out << "Additional info: " << report.additional_info << "\n";
  return out.str();
}

nlohmann::json ToJson(const CallView& call) {
  return {{"time", JsonTime(call.time)},
          {"answer", call.answer},
          {"protocol", call.protocol},
          {"duration", call.duration},
          {"status", call.status},
          {"error", call.error},
          {"answeredBy",
           call.answered_by.empty() ? nlohmann::json(nullptr) : nlohmann::json(call.answered_by)}};
}

nlohmann::json ToJson(const ReportView& report) {
  nlohmann::json recipients = nlohmann::json::array();
  for (const auto& r : report.recipients) {
    nlohmann::json calls = nlohmann::json::array();
    for (const auto& call : r.calls) calls.push_back(ToJson(call));
    nlohmann::json next = nullptr;
    if (r.next.time || !r.next.note.empty()) {
      next = {{"time", r.next.time ? JsonTime(*r.next.time) : nlohmann::json(nullptr)},
              {"note", r.next.note}};
    }
    recipients.push_back({{"recipient", r.recipient},
                          {"status", r.status},
                          {"nextAttempt", next},
                          {"calls", calls}});
  }
  nlohmann::json window = nullptr;
  if (const auto range = Window(report)) {
    window = {{"start", JsonTime(range->first)}, {"stop", JsonTime(range->second)}};
  }
  nlohmann::json spoken = nlohmann::json::object();
  for (const auto& [file, text] : SpokenFiles(report)) spoken[file] = text;
  nlohmann::json parts = nullptr;
  if (report.record) {
    parts = nlohmann::json::array();
    for (const RecordedPart& part : report.record->parts) {
      parts.push_back(
          {{"keys", part.keys},
           {"type", part.spoken ? "text" : "recording"},
           {"content", part.content},
           {"file", part.file.empty() ? nlohmann::json(nullptr) : nlohmann::json(part.file)}});
    }
  }
  const Delivery delivery = DeliveryOf(report);
  const bool waiting = report.status.empty() && report.recipients.empty();
  return {{"id", report.id},
          {"type", TypeWord(report.type)},
          {"status", report.status},
          {"cause", report.cause.empty() ? nlohmann::json(nullptr) : nlohmann::json(report.cause)},
          {"window", window},
          {"delivery", ToJson(delivery)},
          {"outcome", waiting ? nlohmann::json(nullptr) : nlohmann::json(delivery.outcome)},
          {"messageParts", parts},
          {"spokenFiles", spoken},
          {"additionalInfo", report.additional_info},
          {"recipients", recipients}};
}

std::vector<std::string> Changes(const ReportView& before, const ReportView& after) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < after.recipients.size(); ++i) {
    const RecipientView& now = after.recipients[i];
    const RecipientView* earlier = i < before.recipients.size() ? &before.recipients[i] : nullptr;
    const std::size_t known = earlier ? earlier->calls.size() : 0;
    for (std::size_t c = known; c < now.calls.size(); ++c) {
      lines.push_back(now.recipient + ": call " + CallLine(now.calls[c]));
    }
    if (!earlier || earlier->status != now.status) {
      lines.push_back(now.recipient + ": " + OrDash(now.status));
    }
  }
  if (before.status != after.status) lines.push_back("request: " + OrDash(after.status));
  return lines;
}

bool IsFinished(const std::string& status) {
  return status == "Completed" || status == "Canceled" || status == "InternalError" ||
         status == "ErrorNoFile" || status == "ErrorConvertFile" ||
         status == "ErrorGenerateVoiceFile";
}

Delivery DeliveryOf(const ReportView& report) {
  std::vector<RecipientFacts> facts;
  for (const RecipientView& r : report.recipients) {
    RecipientFacts& f = facts.emplace_back();
    f.status = r.status;
    f.calls = static_cast<int>(r.calls.size());
    if (!r.calls.empty()) {
      f.last_answer = r.calls.back().answer;
      f.last_status = r.calls.back().status;
      f.last_error = r.calls.back().error;
    }
  }
  return Tally(facts);
}

bool ReachedEveryone(const ReportView& report) {
  if (report.status != "Completed") return false;
  return std::all_of(report.recipients.begin(), report.recipients.end(),
                     [](const auto& r) { return r.status == "Completed" || r.status == "Sent"; });
}

}  // namespace ringwell::kel::client
