// A report as the command-line client shows it: read from the toolkit's report
// objects into plain values, rendered as a table or as JSON, and compared with
// an earlier reading to print what changed while following a request.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ringwell/common/ole_date.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel::cli {

struct CallView {
  OleDate time = 0;
  std::string answer;
  std::string protocol;
  std::int32_t duration = -1;
  std::string status;
  std::string error;
};

struct RecipientView {
  std::string recipient;
  std::string status;
  std::vector<CallView> calls;
};

struct ReportView {
  std::string id;
  std::string status;
  EKelRequestType type = kelCallRequest;
  std::string additional_info;
  std::vector<RecipientView> recipients;
};

ReportView ReadReport(const std::string& id, IKelReport* report);

std::string RenderTable(const ReportView& report);
nlohmann::json ToJson(const ReportView& report);

// Lines describing what changed from `before` to `after` (statuses, new calls).
std::vector<std::string> Changes(const ReportView& before, const ReportView& after);

// Whether a request with this report status will change no more.
bool IsFinished(const std::string& status);

// Whether a finished request reached every recipient: the request
// "Completed" and every recipient "Completed" (a call) or "Sent" (a page).
bool ReachedEveryone(const ReportView& report);

}  // namespace ringwell::kel::cli
