// A callee for the SIP line tests played by SIPp (Debian's sip-tester) on
// 127.0.0.1: it runs one call of a UAS scenario the test writes (what to send,
// what to expect, and regular expressions the headers it receives must or
// must not match), so a test can answer with what no well-behaved phone
// sends (a 200 OK that rejects the audio, tens of kilobytes of headers, a BYE
// before the ACK) and see what the line sent back.
//
// Thread-safety: one thread at a time uses a callee; several callees may run
// at once.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "ringwell/testing/process.h"

namespace ringwell::host::sip::testing {

class SippCallee {
 public:
  // Runs the scenario whose steps (the elements inside <scenario>) are
  // `steps`, for `calls` calls, in `dir`, over UDP or (`tcp`) over TCP. In
  // the steps, [media_port] is the port RTP may go to.
  SippCallee(std::string dir, const std::string& steps, bool tcp = false, int calls = 1);
  ~SippCallee();

  bool ready() const { return ready_; }
  int port() const { return port_; }
  std::string UriTemplate() const;
  // Waits until SIPp has ended its call; true when the scenario ran to its
  // end with every check met.
  bool Passed(std::chrono::seconds timeout);
  // What SIPp says went wrong (its error log), for a failure message.
  std::string Errors() const;
  // The lines the scenario's <log> actions wrote so far.
  std::string Log() const;

  // Steps used by many scenarios: the replies to the request received last.
  static std::string Reply(const std::string& status, const std::string& headers = "",
                           const std::string& body = "");
  // A 200 OK to the INVITE with a To tag, a Contact and `sdp`.
  static std::string Answer(const std::string& sdp, const std::string& headers = "");
  // A session description offering PCMU on [media_port].
  static const char kAudioSdp[];

 private:
  std::string dir_;
  int port_ = 0;
  bool ready_ = false;
  std::unique_ptr<ringwell::testing::ChildProcess> process_;
};

}  // namespace ringwell::host::sip::testing
