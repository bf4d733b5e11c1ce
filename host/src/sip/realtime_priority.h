// Real-time scheduling for the threads that must keep time: each call's RTP
// sender sends a packet every 20 ms, and on a busy machine a thread of the
// normal policy may wake late. AskForRealtimePriority puts the calling
// thread under SCHED_FIFO. A process may do that as root, with
// CAP_SYS_NICE, or when its RLIMIT_RTPRIO reaches the priority: the
// ringwell-host unit grants the service user LimitRTPRIO=10. Without it the
// thread goes on under the normal policy, and the first refusal in the
// process is written as one warning event (source "Ringwell Host"); calls
// are never refused for it.
//
// Thread-safety: may be called from any thread, for that thread.
#pragma once

namespace ringwell::host::sip {

// True when the calling thread now runs under SCHED_FIFO at `priority`.
bool AskForRealtimePriority(int priority);

}  // namespace ringwell::host::sip
