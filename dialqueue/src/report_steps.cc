#include "report_steps.h"

#include <new>

#include "dialqueue_log.h"
#include "ringwell/common/error_info.h"

namespace ringwell::dialqueue {

template <class Call>
void ReportSteps::Guarded(Call&& call) const {
  try {
    const ComPtr<tallier::ITallier> tallier = state_.Tallier();
    if (!tallier) throw ComError(E_POINTER);
    ThrowIfFailed(call(*tallier));
  } catch (const ComError& e) {
    LogFailure(dialqueue_msg::kErrorIn, operation_, e.Text());
  } catch (const std::bad_alloc&) {
    LogFailure(dialqueue_msg::kErrorIn, operation_, ErrorText(E_OUTOFMEMORY));
  }
}

void ReportSteps::UpdateStatus(const std::string& report, const std::string& number,
                               const std::string& status) const {
  Guarded([&](tallier::ITallier& tallier) {
    return tallier.UpdateStatus(report.c_str(), number.c_str(), status.c_str());
  });
}

void ReportSteps::AddCallResult(const std::string& report, const std::string& number,
                                const std::string& result) const {
  Guarded([&](tallier::ITallier& tallier) {
    return tallier.AddCallResult(report.c_str(), number.c_str(), result.c_str());
  });
}

}  // namespace ringwell::dialqueue
