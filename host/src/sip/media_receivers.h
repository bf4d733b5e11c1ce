// MediaReceivers: the threads that receive the callees' RTP. A few threads
// (one per processor), each waiting on an epoll set of its share of the
// calls' RTP sockets, read what comes (recvmmsg, in batches) and hand each
// RTP packet to its call: the callee's keys as RFC 4733 events and its audio
// for the answering-machine detector and the key tone decoder. That work
// takes a while for a call whose greeting is heard, so it runs here, at the
// normal priority, away from the SIP stack's event loop (which answers the
// signalling of every call) and from the media clock's senders.
//
// Thread-safety: Add and Remove may be called from any thread. A sink is
// called on one receiver thread, never twice at once; after Remove returns
// it is not called any more.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct rtp_header;
struct mbuf;

namespace ringwell::host::sip {

// Where a call's RTP goes.
class RtpSink {
 public:
  // One packet: its header and its payload (from mb's position on).
  virtual void OnRtp(const struct rtp_header* header, struct mbuf* mb) = 0;

 protected:
  ~RtpSink() = default;
};

class MediaReceivers {
 public:
  // One call's socket on a receiver; the caller keeps it from Add until
  // Remove has returned.
  struct Registration {
    int fd = -1;
    RtpSink* sink = nullptr;
    int receiver = -1;  // which receiver has it; -1: none
  };

  // `threads` receivers; 0: one per processor.
  explicit MediaReceivers(int threads = 0);
  // Stops the receivers and joins them; every registration must be removed.
  ~MediaReceivers();
  MediaReceivers(const MediaReceivers&) = delete;
  MediaReceivers& operator=(const MediaReceivers&) = delete;

  // Receives on `registration->fd` (a UDP socket) for `registration->sink`.
  // False when the socket cannot be watched (errno tells why).
  bool Add(Registration* registration);
  // Stops receiving for `registration`; nothing of it is used afterwards.
  void Remove(Registration* registration);

 private:
  class Receiver;
  std::vector<std::unique_ptr<Receiver>> receivers_;
};

}  // namespace ringwell::host::sip
