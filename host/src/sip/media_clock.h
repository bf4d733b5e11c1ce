// MediaClock: the RTP senders of the SIP lines. Every answered call sends a
// 20 ms packet every 20 ms; instead of a thread per call waking 50 times a
// second, a few sender threads (one per processor) each own a share of the
// calls and wake on an absolute schedule (clock_nanosleep, TIMER_ABSTIME) of
// 5 ms sub-ticks. Each call belongs to one sub-tick of the four in a 20 ms
// round: on its sub-tick the sender asks the call for its next frame and
// sends the packet, then goes on to the next call of that sub-tick. A call
// joins the least loaded sub-tick of the least loaded sender when it is
// added, so the sends (and the bursts of packets the callees receive) are
// spread evenly over the 20 ms; from then on its packets go out exactly 20 ms
// apart on the sender's schedule, the first within 20 ms of the answer.
//
// Each call sends from its own RTP socket, the one its session description
// names: peers that send their audio back to where ours comes from
// (symmetric RTP, as SIPp's echo does) and peers that filter on it keep
// working. The packet is built in the sender's own buffer, a 12-byte header
// and the frame the call copies from its shared read-only message audio: no
// allocation, and no lock that all calls share (each call's source guards
// its own state).
//
// The senders ask for real-time priority (SCHED_FIFO 10,
// realtime_priority.h) when they first have a call to send, and go on
// without it where the process may not have it. A late wake-up (the machine
// stalled) is caught up by sending the missed packets at once, as the
// schedule is absolute.
//
// Thread-safety: Add and Remove may be called from any thread. A source's
// NextFrame is called on a sender thread, never twice at once for one
// stream; after Remove returns the clock no longer touches the stream.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ringwell/common/thread_annotations.h"
#include "sip_audio.h"

namespace ringwell::host::sip {

// What a stream sends: the next 20 ms of audio of a call.
class FrameSource {
 public:
  // Fills `payload` with the next frame; `marker`: it begins a talkspurt.
  // False when nothing is to be sent any more (the call has ended).
  virtual bool NextFrame(std::span<std::uint8_t, kFrameSamples> payload, bool* marker) = 0;

 protected:
  ~FrameSource() = default;
};

// One call's outgoing RTP stream. The caller fills the fields before Add and
// keeps the stream (and its source and socket) alive until Remove returns;
// between the two the clock owns the sequence number and the timestamp.
struct RtpStream {
  FrameSource* source = nullptr;
  const void* hot = nullptr;  // what NextFrame reads first, fetched ahead; may be null
  int fd = -1;                // the call's RTP socket (not connected)
  sockaddr_storage remote{};
  socklen_t remote_length = 0;
  std::uint8_t payload_type = 0;
  std::uint32_t ssrc = 0;
  std::uint16_t sequence = 0;   // of the next packet
  std::uint32_t timestamp = 0;  // of the next packet
  // The clock's own: which sender and sub-tick the stream belongs to.
  int sender = -1;
  int slot = -1;
};

class MediaClock {
 public:
  // Sub-ticks in a 20 ms round (5 ms each).
  static constexpr int kSlots = 4;

  // `senders` threads; 0: one per processor.
  explicit MediaClock(int senders = 0);
  // Stops the senders and joins them; the streams must have been removed.
  ~MediaClock();
  MediaClock(const MediaClock&) = delete;
  MediaClock& operator=(const MediaClock&) = delete;

  // Starts sending `stream` (see RtpStream for what it must hold).
  void Add(RtpStream* stream);
  // Stops sending `stream`; when it returns, the clock has finished with it.
  void Remove(RtpStream* stream);

  // How many streams are being sent now.
  std::size_t streams() const;

 private:
  class Sender;
  std::vector<std::unique_ptr<Sender>> senders_;
};

}  // namespace ringwell::host::sip
