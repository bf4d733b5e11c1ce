#include "realtime_priority.h"

#include <pthread.h>
#include <sched.h>

#include <cstring>
#include <mutex>
#include <string>

#include "sip_events.h"

namespace ringwell::host::sip {

bool AskForRealtimePriority(int priority) {
  const sched_param parameters{.sched_priority = priority};
  const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
  if (error == 0) return true;
  static std::once_flag told;
  std::call_once(told, [&] {
    SipEvents().ReportText(
        EventType::kWarning, kNoRealtimePriorityEvent,
        "RTP packets go out without real-time priority (SCHED_FIFO " + std::to_string(priority) +
            ": " + std::strerror(error) +
            "): their timing may suffer when the machine is busy. The ringwell-host unit grants "
            "it with LimitRTPRIO=10; elsewhere raise the limit (ulimit -r 10) or grant "
            "CAP_SYS_NICE.");
  });
  return false;
}

}  // namespace ringwell::host::sip
