#include "report_view.h"

#include <algorithm>
#include <sstream>

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

// A protocol line with the text each generated sound file was spoken from.
std::string Explained(std::string line, const ReportView& report) {
  if (!report.request) return line;
  for (const auto& [file, text] : report.request->spoken) {
    const std::size_t at = line.find(file);
    if (at != std::string::npos) line.insert(at + file.size(), " (\"" + text + "\")");
  }
  return line;
}

// The protocol of a call, one step per line, indented.
void WriteProtocol(std::ostream& out, const std::string& protocol, const ReportView& report) {
  std::istringstream lines(protocol);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out << "        " << Explained(line, report) << "\n";
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
  if (!report.cause.empty()) out << "Cause:  " << report.cause << "\n";
  if (report.request) {
    out << "Window: " << UserTime(report.request->start) << " - " << UserTime(report.request->stop)
        << "  (" << UserZoneLabel() << ")\n";
  } else {
    out << "Window: - (the request file is gone once the request is done)\n";
  }
  std::size_t width = 12;
  for (const auto& r : report.recipients) width = std::max(width, r.recipient.size() + 2);
  out << Pad("RECIPIENT", width) << Pad("STATUS", 14) << Pad("CALLS", 7) << "NEXT ATTEMPT\n";
  for (const auto& r : report.recipients) {
    out << Pad(r.recipient, width) << Pad(OrDash(r.status), 14)
        << Pad(std::to_string(r.calls.size()), 7) << NextText(r.next) << "\n";
    for (const auto& call : r.calls) {
      out << "    " << CallLine(call) << "\n";
      WriteProtocol(out, call.protocol, report);
    }
  }
  if (!report.additional_info.empty()) out << "Additional info: " << report.additional_info << "\n";
  return out.str();
}

nlohmann::json ToJson(const ReportView& report) {
  nlohmann::json recipients = nlohmann::json::array();
  for (const auto& r : report.recipients) {
    nlohmann::json calls = nlohmann::json::array();
    for (const auto& call : r.calls) {
      calls.push_back(
          {{"time", JsonTime(call.time)},
           {"answer", call.answer},
           {"protocol", call.protocol},
           {"duration", call.duration},
           {"status", call.status},
           {"error", call.error},
           {"answeredBy", call.answered_by.empty() ? nlohmann::json(nullptr)
                                                   : nlohmann::json(call.answered_by)}});
    }
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
  nlohmann::json spoken = nlohmann::json::object();
  if (report.request) {
    window = {{"start", JsonTime(report.request->start)}, {"stop", JsonTime(report.request->stop)}};
    for (const auto& [file, text] : report.request->spoken) spoken[file] = text;
  }
  return {{"id", report.id},
          {"type", TypeWord(report.type)},
          {"status", report.status},
          {"cause", report.cause.empty() ? nlohmann::json(nullptr) : nlohmann::json(report.cause)},
          {"window", window},
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

bool ReachedEveryone(const ReportView& report) {
  if (report.status != "Completed") return false;
  return std::all_of(report.recipients.begin(), report.recipients.end(),
                     [](const auto& r) { return r.status == "Completed" || r.status == "Sent"; });
}

}  // namespace ringwell::kel::client
