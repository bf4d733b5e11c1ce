#include "report_view.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "toolkit.h"

namespace ringwell::kel::cli {
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
  return view;
}

std::string Time(OleDate time) {
  std::string text = OleDateToIso(time);
  if (text.size() >= 19) text[10] = ' ';
  return text.empty() ? "-" : text.substr(0, 19);
}

std::string Duration(std::int32_t seconds) {
  return seconds < 0 ? "-" : std::to_string(seconds) + "s";
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

std::string Pad(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// The protocol of a call, one step per line, indented.
void WriteProtocol(std::ostream& out, const std::string& protocol) {
  std::istringstream lines(protocol);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out << "        " << line << "\n";
  }
}

std::string CallLine(const CallView& call) {
  std::string line = Time(call.time) + "  " + Pad(OrDash(call.answer), 10) +
                     Pad(Duration(call.duration), 6) + OrDash(call.status);
  if (!call.error.empty()) line += " (" + call.error + ")";
  return line;
}

}  // namespace

ReportView ReadReport(const std::string& id, IKelReport* report) {
  ReportView view;
  view.id = id;
  Check(report->get_Status(&view.status));
  Check(report->get_Type(&view.type));
  Check(report->get_AdditionalInfo(&view.additional_info));
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
    view.recipients.push_back(std::move(recipient));
  }
  return view;
}

std::string RenderTable(const ReportView& report) {
  std::ostringstream out;
  out << "Request " << report.id << "  " << (report.type == kelPageRequest ? "page" : "call")
      << "  " << OrDash(report.status) << "\n";
  std::size_t width = 12;
  for (const auto& r : report.recipients) width = std::max(width, r.recipient.size() + 2);
  out << Pad("RECIPIENT", width) << Pad("STATUS", 14) << "CALLS\n";
  for (const auto& r : report.recipients) {
    out << Pad(r.recipient, width) << Pad(OrDash(r.status), 14) << r.calls.size() << "\n";
    for (const auto& call : r.calls) {
      out << "    " << CallLine(call) << "\n";
      WriteProtocol(out, call.protocol);
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
      calls.push_back({{"time", OleDateToIso(call.time)},
                       {"answer", call.answer},
                       {"protocol", call.protocol},
                       {"duration", call.duration},
                       {"status", call.status},
                       {"error", call.error}});
    }
    recipients.push_back({{"recipient", r.recipient}, {"status", r.status}, {"calls", calls}});
  }
  return {{"id", report.id},
          {"type", report.type == kelPageRequest ? "page" : "call"},
          {"status", report.status},
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
  return std::all_of(report.recipients.begin(), report.recipients.end(), [](const auto& r) {
    return r.status == "Completed" || r.status == "Sent";
  });
}

}  // namespace ringwell::kel::cli
