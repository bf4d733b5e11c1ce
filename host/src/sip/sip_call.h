// SipCall: one outgoing SIP call of a line, from INVITE to BYE. Dial offers
// PCMU, PCMA and telephone-event/8000 and waits for the outcome while it
// rings (CANCEL when the ring time is over); once answered the call is the
// CallLeg the call-tree walker drives: a sender thread keeps a steady stream
// of 20 ms RTP packets going to the callee (message audio when a part plays,
// silence otherwise), paced by the monotonic clock, while the stack's loop
// thread decodes the callee's audio (greeting detector, in-band key tones)
// and RFC 4733 key events. The destructor hangs up and releases every
// session object, so no call or dialog is left behind.
//
// Thread-safety: one line thread drives the call; Abort may be called from
// any thread; the stack's loop thread delivers events.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "call_tree.h"
#include "dial_outcome.h"
#include "sip_audio.h"
#include "sip_stack.h"

struct sipsess;
struct rtp_sock;
struct sdp_session;
struct sdp_media;
struct telev;
struct dtmf_dec;
struct sip_msg;
struct mbuf;
struct rtp_header;
struct sa;

namespace ringwell::host::sip {

class SipCall final : public CallLeg {
 public:
  // `wav_dir` (ending in "/") holds the files that File parts name.
  SipCall(SipStack& stack, std::string wav_dir);
  ~SipCall() override;
  SipCall(const SipCall&) = delete;
  SipCall& operator=(const SipCall&) = delete;

  // Calls `uri` and rings at most `ring_seconds`.
  DialResult Dial(const std::string& uri, double ring_seconds);
  // Ends the call (BYE or CANCEL) and releases it; done by the destructor too.
  void HangUp();
  // Ends every wait now (the host is stopping).
  void Abort();

  // What the leg noted beside the walk (missing files, the codec).
  std::vector<std::string> Notes() const;

  bool AwaitGreetingEnd(double max_seconds) override;
  double Play(const std::vector<MessagePart>& parts) override;
  std::optional<std::string> AwaitKey(double timeout_seconds) override;
  std::optional<std::string> Ended() const override;
  double Seconds() const override;

 private:
  enum class Phase { kIdle, kCalling, kAnswered, kClosed };

  int Start(const std::string& uri);  // loop thread
  void Release();                     // loop thread
  void Send(std::stop_token stop);    // sender thread
  void OnAnswer(const struct sip_msg* msg);
  void OnProgress(const struct sip_msg* msg);
  void OnEstablished();
  void OnClose(int err, const struct sip_msg* msg);
  void OnRtp(const struct rtp_header* header, struct mbuf* mb);
  void OnKey(char key, const char* how);

  SipStack& stack_;
  const std::string wav_dir_;

  // Loop-thread objects.
  struct ::sipsess* session_ = nullptr;
  struct ::rtp_sock* rtp_ = nullptr;
  struct ::sdp_session* sdp_ = nullptr;
  struct ::sdp_media* media_ = nullptr;
  struct ::telev* telev_ = nullptr;
  struct ::dtmf_dec* dtmf_ = nullptr;
  std::vector<std::int16_t> decoded_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Phase phase_ = Phase::kIdle;
  bool live_ = false;       // session objects exist
  bool responded_ = false;  // a provisional or final reply came
  bool aborted_ = false;
  int close_error_ = 0;
  int code_ = 0;
  std::string reason_;
  std::optional<std::string> ended_;
  std::chrono::steady_clock::time_point answered_at_;
  std::chrono::steady_clock::time_point hung_up_at_;
  GreetingDetector greeting_;
  bool greeting_over_ = false;
  std::deque<std::string> keys_;
  std::vector<std::string> notes_;

  // Media, fixed once answered.
  Codec codec_ = Codec::kPcmu;
  int audio_pt_ = -1;
  int event_pt_ = -1;
  std::unique_ptr<struct ::sa> remote_;

  // The sender's queue: message audio still to go out.
  std::vector<std::uint8_t> queued_;
  std::size_t queued_at_ = 0;
  std::jthread sender_;
};

}  // namespace ringwell::host::sip
