// The report updates the workers make through the report generator, each a
// guarded step: a failure is written to the event log as "Error in %1: %2."
// with the worker's operation name, and the worker carries on.
//
// Thread-safety: any worker thread; the report generator accepts concurrent
// calls.
#pragma once

#include <string>
#include <string_view>

#include "scheduler_state.h"

namespace ringwell::dialqueue {

class ReportSteps {
 public:
  // `operation` names the worker method in event-log entries; it must outlive
  // the object.
  ReportSteps(SchedulerState& state, std::string_view operation)
      : state_(state), operation_(operation) {}

  // UpdateStatus(report, number, status); an empty number addresses the
  // request as a whole.
  void UpdateStatus(const std::string& report, const std::string& number,
                    const std::string& status) const;
  void AddCallResult(const std::string& report, const std::string& number,
                     const std::string& result) const;

 private:
  template <class Call>
  void Guarded(Call&& call) const;

  SchedulerState& state_;
  std::string_view operation_;
};

}  // namespace ringwell::dialqueue
