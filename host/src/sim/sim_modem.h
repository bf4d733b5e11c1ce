// SimModem: a simulated modem line of the reference host. Each MakeCall asks
// the scenario what the callee at the number does, lets the simulated time of
// the call pass (rings, greeting, messages, waits for keys), and returns the
// Call result: Answer/Status "Answered"/"Completed", "Busy"/"Busy",
// "NoAnswer"/"NoAnswer", or "Failed"/"Failed" with an Error text
// (call_record.h). An answered call tells who answered (AnsweredBy, from the
// scenario, with the host's machine detection settings and the request's),
// walks the request's call tree (sim/simulated_walk.h) and, when a directory
// is given, leaves what the callee heard as one wav file per call. A machine
// that the request leaves no message on is "NoAnswer"/"NoAnswer".
//
// HangUp ends the call in progress at once: its result is then "Failed",
// "the host hung up".
//
// Thread-safety: the scheduler calls one line from one worker thread; the
// scenario and the simulated time are shared between lines. HangUp may be
// called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "call_record.h"
#include "ringwell/common/com.h"
#include "ringwell/common/machine_detection.h"
#include "ringwell/common/thread_annotations.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "sim/scenario.h"
#include "sim/simulated_time.h"

namespace ringwell::host {

class SimModem final : public ComObject<dialqueue::IModem, dialqueue::IModemHangUp> {
 public:
  // `heard_dir`: where to write what callees heard (empty: nowhere).
  // `detection`: the host's machine detection settings.
  SimModem(int line, std::shared_ptr<Scenario> scenario, std::shared_ptr<SimulatedTime> time,
           std::string heard_dir, MachineDetection detection = {});

  HRESULT Describe(std::string* a_pbstrDescription) override;
  HRESULT MakeCall(const char* number, const char* request_xml, const char* wav_dir,
                   std::string* result) override;
  HRESULT HangUp() override;

  // Simulated seconds of one ring.
  static constexpr double kRingSeconds = 6;

 private:
  CallRecord Call(const std::string& number, std::string_view request_xml,
                  const std::string& wav_dir, double* seconds);

  const int line_;
  const std::shared_ptr<Scenario> scenario_;
  const std::shared_ptr<SimulatedTime> time_;
  const std::string heard_dir_;
  const MachineDetection detection_;
  Mutex call_mutex_;
  bool in_call_ RINGWELL_GUARDED_BY(call_mutex_) = false;
  std::atomic<bool> cut_{false};  // the call in progress was hung up
};

}  // namespace ringwell::host
