// A callee for the answering-machine detection tests played by SIPp (Debian's
// sip-tester) on 127.0.0.1: it answers one call with PCMU and streams a
// recording into it with SIPp's rtp_stream, as a person or a voicemail
// answering would speak, then waits for the caller's BYE.
//
// Thread-safety: one thread at a time uses a callee; several callees may run
// at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ringwell/testing/process.h"

namespace ringwell::host::sip::testing {

class SippGreeting {
 public:
  // Runs SIPp in `dir` (made if missing) answering the next call with
  // `samples` (8 kHz).
  SippGreeting(std::string dir, const std::vector<std::int16_t>& samples);
  ~SippGreeting();
  SippGreeting(const SippGreeting&) = delete;
  SippGreeting& operator=(const SippGreeting&) = delete;

  bool ready() const { return ready_; }
  int port() const { return port_; }
  // Waits until SIPp has finished its call; true when it ran to its end.
  bool Finished(std::chrono::seconds timeout);
  // What SIPp said went wrong (its error log), for a failure message.
  std::string Errors() const;

 private:
  std::string dir_;
  int port_ = 0;
  bool ready_ = false;
  std::unique_ptr<ringwell::testing::ChildProcess> process_;
};

}  // namespace ringwell::host::sip::testing
