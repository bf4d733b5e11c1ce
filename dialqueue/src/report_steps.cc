#include "report_steps.h"

#include <new>

#include "dialqueue_log.h"
#include "ringwell/common/error_info.h"

namespace ringwell::dialqueue {

void ReportSteps::LogError(const std::string& report, std::string_view text) const {
  LogFailure(dialqueue_msg::kErrorIn, operation_, text, {.path = report});
}

void ReportSteps::Apply(const std::string& report,
                        std::initializer_list<tallier::ReportChange> changes) const {
  const ComPtr<tallier::ITallier> tallier = state_.Tallier();
  if (!tallier) return LogError(report, ErrorText(E_POINTER));
  ComPtr<tallier::ITallierChanges> batch;
  if (changes.size() > 1 &&
      Succeeded(tallier->QueryInterface(tallier::ITallierChanges::kIid, batch.PutVoid()))) {
    const HRESULT hr = batch->ApplyChanges(report.c_str(), changes.begin(),
                                           static_cast<std::int32_t>(changes.size()));
    if (Failed(hr)) LogError(report, ErrorText(hr));
    return;
  }
  for (const tallier::ReportChange& change : changes) {
    const HRESULT hr = change.kind == tallier::ReportChange::kStatus
                           ? tallier->UpdateStatus(report.c_str(), change.recipient, change.text)
                           : tallier->AddCallResult(report.c_str(), change.recipient, change.text);
    if (Failed(hr)) LogError(report, ErrorText(hr));
  }
}

void ReportSteps::UpdateStatus(const std::string& report, const std::string& number,
                               const std::string& status) const {
  Apply(report, {{tallier::ReportChange::kStatus, number.c_str(), status.c_str()}});
}

void ReportSteps::StartAttempt(const std::string& report, const std::string& number) const {
  Apply(report, {{tallier::ReportChange::kStatus, number.c_str(), "InProgress"},
                 {tallier::ReportChange::kStatus, "", "InProgress"}});
}

void ReportSteps::EndAttempt(const std::string& report, const std::string& number,
                             const std::string& result, const std::string& status) const {
  if (result.empty()) return UpdateStatus(report, number, status);
  Apply(report, {{tallier::ReportChange::kCallResult, number.c_str(), result.c_str()},
                 {tallier::ReportChange::kStatus, number.c_str(), status.c_str()}});
}

}  // namespace ringwell::dialqueue
