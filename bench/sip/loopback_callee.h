// The callee of the SIP benchmark: a child process with a SIP stack of its
// own on 127.0.0.1 that answers every call at once, stays silent, and takes
// the kernel's arrival time of every RTP packet it receives. When a call
// ends it reports the call's packet intervals on a pipe.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace ringwell::bench {

struct PacketTiming {
  long packets = 0;
  double p50_ms = 0, p99_ms = 0, max_ms = 0;  // interval between packets
  double drift_ms = 0;                        // arrival span less packets x 20 ms
};

class LoopbackCallee {
 public:
  // Forks the callee; call before this process starts its own SIP stack.
  LoopbackCallee();
  ~LoopbackCallee();  // stops the callee

  int port() const { return port_; }
  // The timing of the next call that ends (waits up to `seconds`).
  std::optional<PacketTiming> NextCall(double seconds);

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int from_child_ = -1;
  std::string pending_;
};

}  // namespace ringwell::bench
