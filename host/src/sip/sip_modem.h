// SipModem: a line of ringwell-host that places its calls over SIP. MakeCall
// turns the number into a request URI, rings up to NumberOfRings x the ring
// period, and on answer tells who answered (answering-machine detection with
// the host's settings and the request's MachineDetection) while it waits for
// the callee's greeting (at most MaxGreetingDuration), walks the request's
// call tree with the walker the simulated lines use, and hangs up. A machine
// that the request leaves no message on is "NoAnswer"/"NoAnswer"; one whose
// message could not be left whole after its greeting (the greeting still
// going at MaxGreetingDuration, the machine hanging up before the message
// had played whole) is "LeftIncomplete"/"Answered", a final status that is
// not retried and not counted as reached. The result
// is the Call element of a simulated line (call_record.h: Status/Answer
// "Completed"/"Answered", "Busy", "NoAnswer" or "Failed" with an Error text)
// plus SipReply: the last SIP reply of note, code and reason (the final reply,
// or Ringing for a call that rang out). Duration counts the answered part, in
// seconds. While the stack's registration has failed (or not succeeded within
// 5 s), every call fails with that text. Before it dials, a line waits until
// the account's trunk allows one more call (trunk.h: calls at once, set-ups
// per second); the wait is not part of the ring time, and a wait of note goes
// into the protocol.
//
// SipLines builds the configured lines on one SipStack and stops them.
//
// Thread-safety: the scheduler calls a line from one worker thread; Stop may
// be called from any thread.
#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "call_record.h"
#include "ringwell/common/com.h"
#include "ringwell/common/thread_annotations.h"
#include "ringwell/dialqueue/dialqueue.h"
#include "sip_account.h"
#include "sip_stack.h"

namespace ringwell::host::sip {

class SipCall;

class SipModem final : public ComObject<dialqueue::IModem, dialqueue::IModemHangUp> {
 public:
  // `detection`: the host's machine detection settings.
  SipModem(int line, SipStack& stack, MachineDetection detection = {});

  HRESULT Describe(std::string* a_pbstrDescription) override;
  HRESULT MakeCall(const char* number, const char* request_xml, const char* wav_dir,
                   std::string* result) override;

  // Ends the call in progress at once (the host fenced itself); later calls
  // go on as usual.
  HRESULT HangUp() override RINGWELL_EXCLUDES(mutex_);

  int line() const { return line_; }
  // Ends the call in progress at once and every later one (the host stops).
  void Stop() RINGWELL_EXCLUDES(mutex_);

 private:
  CallRecord Call(const std::string& number, std::string_view request_xml,
                  const std::string& wav_dir);

  const int line_;
  SipStack& stack_;
  const MachineDetection detection_;
  Mutex mutex_;
  bool stopped_ RINGWELL_GUARDED_BY(mutex_) = false;
  SipCall* current_ RINGWELL_GUARDED_BY(mutex_) = nullptr;  // the call in progress
  std::stop_source stopping_;  // requested by Stop: ends a wait for the trunk
};

// The SIP lines of the host and their stack.
class SipLines {
 public:
  // Starts the stack for `options`; nullptr with `error` when it cannot run.
  static std::unique_ptr<SipLines> Start(SipOptions options, std::string* error);
  ~SipLines();

  const std::vector<ComPtr<SipModem>>& modems() const { return modems_; }
  // Ends the calls in progress; the scheduler may then be released.
  void Stop();
  // The registration as the host's status file tells it: "none" (no
  // registrar), "registered", "pending" or "failed", with the registrar and
  // the reason (or the last reply) in `detail`.
  std::string Registration(std::string* registrar, std::string* detail) const;
  // Waits until the registration has succeeded or failed, at most `seconds`.
  void WaitForRegistration(double seconds) const;

 private:
  std::unique_ptr<SipStack> stack_;
  std::vector<ComPtr<SipModem>> modems_;
};

}  // namespace ringwell::host::sip
