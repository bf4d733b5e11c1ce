// The report updates the workers make through the report generator, each a
// guarded step: a failure is written to the event log as "Error in %1: %2."
// with the worker's operation name, about the report, and the worker carries
// on.
//
// The start of an attempt (the recipient and the request "InProgress") and its
// end (the call result with the recipient's new status) are each one update
// of the report when the report generator offers ITallierChanges, so that a
// stop at any moment leaves either both changes or neither.
//
// Thread-safety: any worker thread; the report generator accepts concurrent
// calls.
#pragma once

#include <initializer_list>
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
  // The recipient and the request "InProgress".
  void StartAttempt(const std::string& report, const std::string& number) const;
  // The call result (none when `result` is empty), then the recipient's status.
  void EndAttempt(const std::string& report, const std::string& number, const std::string& result,
                  const std::string& status) const;

 private:
  void Apply(const std::string& report, std::initializer_list<tallier::ReportChange> changes) const;
  void LogError(const std::string& report, std::string_view text) const;

  SchedulerState& state_;
  std::string_view operation_;
};

}  // namespace ringwell::dialqueue
