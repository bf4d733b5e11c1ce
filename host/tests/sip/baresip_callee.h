// A callee for the SIP line tests (number 5550100): baresip on 127.0.0.1 with a configuration
// of its own in a temporary directory. It answers by itself (or never), its
// microphone is a wav file the test writes (baresip hangs up when the file
// has played to its end), and its sndfile module records what it hears. Keys
// typed on its console ("/sndcode 1") go to the caller as RFC 4733 events;
// "b" (hang up) typed while a call rings rejects it with 486. With a
// certificate it also takes calls over TLS, on the port after its UDP port.
//
// Thread-safety: one thread at a time uses a callee; Type may be called from
// any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ringwell/testing/process.h"

namespace ringwell::host::sip::testing {

using Samples = std::vector<std::int16_t>;  // 8 kHz mono

// Audio pieces for callees and messages.
Samples Silence(double seconds);
Samples Noise(double seconds, std::uint32_t seed);  // speech-like energy
Samples KeyTone(char key, double seconds);          // a DTMF pair
Samples Join(std::initializer_list<Samples> pieces);
void WriteWav(const std::string& path, const Samples& samples);
Samples ReadWav(const std::string& path);  // empty when unreadable

// The best normalised correlation of `needle` inside `haystack`, which is
// quiet before it, and the offset (in samples) where it is found.
double BestCorrelation(const Samples& needle, const Samples& haystack, std::size_t* offset);

// A free port on 127.0.0.1 (UDP and TCP).
int FreePort();
// Binds a socket of `type` (SOCK_DGRAM, SOCK_STREAM) to 127.0.0.1:`port`
// (0: any) and returns the port it got, 0 when it could not.
int BoundPort(int type, int port);
// Waits until a peer program has bound 127.0.0.1:`port` for `type`; false
// when it has not within `timeout`.
bool WaitUntilTaken(int type, int port, std::chrono::milliseconds timeout);

class BaresipCallee {
 public:
  // `dir` is the callee's own directory; `source` what its microphone says;
  // `certificate` a PEM file with its certificate and key (empty: no TLS).
  BaresipCallee(std::string dir, const Samples& source, bool answers = true,
                std::string certificate = "");
  ~BaresipCallee();

  bool ready() const { return ready_; }
  int port() const { return port_; }
  // The callee's address for the request URI template.
  std::string UriTemplate() const;
  std::string TlsUriTemplate() const;
  // Types `text` on the callee's console.
  void Type(const std::string& text) const;
  // Waits for a line of baresip's output containing `text`.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
  // What the callee heard in its last call, once the call has closed and
  // its recording stopped growing; empty when there is none.
  Samples Heard();

 private:
  void WriteConfig(bool answers) const;
  void Stop();

  std::string dir_;
  std::string certificate_;
  int port_ = 0;
  int console_port_ = 0;
  bool ready_ = false;
  std::unique_ptr<ringwell::testing::ChildProcess> process_;
};

}  // namespace ringwell::host::sip::testing
