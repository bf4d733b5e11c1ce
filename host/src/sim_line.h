// What the simulated lines share: simulated time (a simulated second takes a
// configurable, usually small, share of a real second, and every wait ends at
// once when the host shuts down), the call result a line returns, and a file
// name made safe from a number or request ID.
//
// Thread-safety: SimulatedTime may be used from every line at once.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ringwell/common/ole_date.h"

namespace ringwell::host {

class SimulatedTime {
 public:
  // `real_seconds_per_second`: how long one simulated second takes.
  explicit SimulatedTime(double real_seconds_per_second) : scale_(real_seconds_per_second) {}
  // Waits for `seconds` of simulated time; returns at once after Shutdown().
  void Pass(double seconds);
  // Ends every wait now and later (calls in progress finish at once).
  void Shutdown();

 private:
  const double scale_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool shut_down_ = false;
};

// One call or page result: a Call element with the attributes Status and
// Error and the children Time (typed dateTime), Answer, Protocol (one line per
// step) and Duration (typed int, seconds); a SIP line adds SipReply, the
// final SIP reply (attribute Code, the reason phrase as text).
struct CallRecord {
  std::string status;
  std::string error;
  OleDate time = 0;
  std::string answer;
  std::vector<std::string> protocol;
  int duration = 0;
  int sip_code = 0;  // 0: no SipReply element
  std::string sip_reason;
};
std::string CallResultXml(const CallRecord& record);

// `text` with every character other than letters, digits, "+", "-", "_" and
// braces replaced by "_", so that it can be part of a file name.
std::string SafeFileName(std::string_view text);

}  // namespace ringwell::host
