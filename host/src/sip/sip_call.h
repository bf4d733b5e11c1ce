// SipCall: one outgoing SIP call of a line, from INVITE to BYE. Dial offers
// PCMU, PCMA and telephone-event/8000 and waits for the outcome while it
// rings (CANCEL when the ring time is over); once answered the call is the
// CallLeg the call-tree walker drives: the stack's media clock keeps a steady
// stream of 20 ms RTP packets going to the callee from the call's RTP socket
// (message audio when a part plays, silence otherwise), while the stack's loop
// thread decodes the callee's audio (answering-machine detection, in-band
// key tones) and RFC 4733 key events. The detector follows the callee's
// audio by its RTP timestamps (a gap is silence) and, when nothing comes at
// all, by the clock; the greeting wait ends as soon as it has decided, or,
// for a machine that is left a message, once its greeting or beep is over.
// The detector then goes on hearing the machine while the message plays
// (until it has played whole once, within MaxGreetingDuration of the
// pick-up): when its speech resumes, the message stops with the next packet
// and TakeInterruption says when the speech resumed.
// A key pressed during the greeting marks a person and stays queued for the
// walk; every key is noted with the second it came. HangUp (and the
// destructor) ends the call and releases every session object, so no call or
// dialog is left behind: every dialog a 200 OK makes is acknowledged, and
// ended with BYE unless the callee ended it. After letting go of the session
// the line waits a little for the last word on it (the 487 that answers a
// CANCEL, the reply to its BYE), so the call's last reply is the one the
// network really gave.
//
// The call's state only moves forward,
//
//   kIdle -> kCalling -> kProceeding -> kAnswered -> kEnded
//
// skipping steps where the call does (any state may end), and an ended call
// keeps the reason it ended for. Every wait of the line ends when the call
// ends, Abort included.
//
// Thread-safety: four threads meet here around libre, whose objects belong
// to the stack's loop thread:
//   - the line thread drives the call: Dial, the CallLeg operations, Notes,
//     HangUp and the destructor;
//   - the loop thread (through SipStack::Run) sets the session up and
//     releases it, and runs libre's handlers: replies to the INVITE, the end
//     of the session;
//   - a media receiver thread hands over the callee's RTP (OnRtp), from the
//     INVITE to the hang-up;
//   - a sender thread of the media clock takes each packet's audio
//     (NextFrame) and sends it, from the answer to the hang-up.
// Abort may be called from any thread. What they share is guarded by mutex_
// (checked by clang's thread-safety analysis), and what the sender reads by
// send_mutex_; libre objects are used on the loop thread only, except the
// RTP socket that the receiver reads and the media clock sends on, and the
// key event and tone decoders that only OnRtp uses between Start and HangUp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "amd/answer_detector.h"
#include "call_tree.h"
#include "dial_outcome.h"
#include "media_clock.h"
#include "media_receivers.h"
#include "part_audio_cache.h"
#include "ringwell/common/thread_annotations.h"
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

class SipCall final : public CallLeg, private FrameSource, private RtpSink {
 public:
  // `wav_dir` (ending in "/") holds the files that File parts name;
  // `detection` says how to tell who answered and what to do with a machine.
  SipCall(SipStack& stack, std::string wav_dir, const MachineDetection& detection = {});
  ~SipCall() override;
  SipCall(const SipCall&) = delete;
  SipCall& operator=(const SipCall&) = delete;

  // Calls `uri` and rings at most `ring_seconds`. A call that is not
  // answered is released before Dial returns.
  DialResult Dial(const std::string& uri, double ring_seconds) RINGWELL_EXCLUDES(mutex_);
  // Ends the call (BYE or CANCEL) and releases it; done by the destructor too.
  void HangUp() RINGWELL_EXCLUDES(mutex_);
  // Ends the call now, or before it starts (the host is stopping).
  void Abort() RINGWELL_EXCLUDES(mutex_);

  // What the call noted that the walk has not taken (keys heard, a refused
  // BYE, why an answer's media could not be used), in the order it came.
  std::vector<std::string> TakeNotes() override RINGWELL_EXCLUDES(mutex_);
  // The last final SIP reply of the call (to its INVITE or its BYE), or a
  // Ringing or Session Progress when no final reply came; {0, ""}: none.
  std::pair<int, std::string> LastReply() const RINGWELL_EXCLUDES(mutex_);

  GreetingEnd AwaitGreetingEnd(double max_seconds) override RINGWELL_EXCLUDES(mutex_);
  double Play(const std::vector<MessagePart>& parts, std::vector<std::string>* unplayed) override
      RINGWELL_EXCLUDES(mutex_);
  std::optional<std::string> AwaitKey(double timeout_seconds) override RINGWELL_EXCLUDES(mutex_);
  std::optional<double> TakeInterruption() override RINGWELL_EXCLUDES(mutex_);
  std::optional<std::string> Ended() const override RINGWELL_EXCLUDES(mutex_);
  double Seconds() const override RINGWELL_EXCLUDES(mutex_);

 private:
  using Clock = std::chrono::steady_clock;
  static Clock::duration ToDuration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  enum class State {
    kIdle,        // not dialled yet
    kCalling,     // the INVITE is out; no reply yet
    kProceeding,  // a provisional reply came (Trying, Ringing, Session Progress)
    kAnswered,    // picked up, with media both sides can use: the walk runs
    kEnded,       // over, for the reason in end_
  };
  enum class EndReason {
    kNone,          // not ended
    kNotPlaced,     // the session could not be set up (error_)
    kRefused,       // a final reply of 300 or more came before an answer (code_)
    kFailed,        // lost before an answer: transport error (error_)
    kNoAudio,       // answered with no audio the line can send or hear (no_audio_)
    kRingTimeOver,  // not answered within the ring time: the line cancelled it
    kCalleeHungUp,  // answered, then the callee hung up
    kDropped,       // answered, then the session was lost (error_)
    kLineHungUp,    // the line hung up
    kHostStopping,  // Abort
  };
  // What the callee's answer chose; fixed by the first usable answer.
  struct Media {
    Codec codec = Codec::kPcmu;
    int audio_pt = -1;
    int event_pt = -1;  // telephone-event; -1: the callee sends none
  };
  struct Libre;  // libre's handlers, which pass its events on to the On* below

  // Loop thread: setting up and releasing the session, and libre's events
  // (the callee's RTP and keys in sip_call_audio.cc).
  int Start(const std::string& uri) RINGWELL_EXCLUDES(mutex_);
  int OpenMedia();
  int Invite(const std::string& uri);
  void Release();
  void OnProgress(const struct sip_msg* msg) RINGWELL_EXCLUDES(mutex_);
  int OnAnswer(const struct sip_msg* msg) RINGWELL_EXCLUDES(mutex_);
  void OnEstablished() RINGWELL_EXCLUDES(mutex_);
  void OnClose(int err, const struct sip_msg* msg) RINGWELL_EXCLUDES(mutex_);
  // Every final reply that comes for the call, also once the session is
  // released (through the stack's watch).
  void OnFinalReply(const struct sip_msg& msg) RINGWELL_EXCLUDES(mutex_);
  // A receiver thread: the callee's RTP.
  void OnRtp(const struct rtp_header* header, struct mbuf* mb) override RINGWELL_EXCLUDES(mutex_);
  void OnKey(char key, const char* how) RINGWELL_EXCLUDES(mutex_);
  // Feeds the callee's audio to the detector while the greeting wait runs.
  void Hear(std::span<const std::int16_t> samples) RINGWELL_REQUIRES(mutex_)
      RINGWELL_EXCLUDES(send_mutex_);
  // Whether the wait for the greeting may end: who answered is decided, and
  // a machine that is left a message has ended its greeting.
  bool GreetingWaitOver() const RINGWELL_REQUIRES(mutex_);

  // Media clock: the audio of the next packet while the call is answered.
  bool NextFrame(std::span<std::uint8_t, kFrameSamples> payload, bool* marker) override
      RINGWELL_EXCLUDES(send_mutex_);
  // Line thread: has the media clock send the call's packets.
  void StartSending() RINGWELL_EXCLUDES(mutex_);

  // Moves the state forward to `state` (never back, never to kEnded).
  void Advance(State state) RINGWELL_REQUIRES(mutex_);
  // Ends the call for `reason` unless it has ended already: the first
  // reason stays.
  void EndCall(EndReason reason, int error = 0) RINGWELL_REQUIRES(mutex_)
      RINGWELL_EXCLUDES(send_mutex_);
  // Why the call ended, in the walk's words; empty while it goes on.
  std::optional<std::string> EndText() const RINGWELL_REQUIRES(mutex_);
  // The session is let go of and the peer has still to give its last word:
  // the reply to the BYE of an answered call the line ended, or the final
  // reply to the INVITE of a ringing call the line cancelled.
  bool AwaitsLastReply() const RINGWELL_REQUIRES(mutex_);

  SipStack& stack_;
  const std::string wav_dir_;

  // Line thread only.
  bool placed_ = false;   // Start ran and HangUp has not finished since
  bool sending_ = false;  // stream_ is on the media clock
  RtpStream stream_;
  MediaReceivers::Registration receiving_;  // from Start to HangUp

  // Loop thread only: made by Start, released by Release.
  std::string call_id_;  // whose replies the stack hands to OnFinalReply
  struct ::sipsess* session_ = nullptr;
  struct ::sdp_session* sdp_ = nullptr;
  struct ::sdp_media* sdp_media_ = nullptr;
  // Used by OnRtp only, on the receiver thread, between Start and HangUp.
  struct ::telev* telev_ = nullptr;
  struct ::dtmf_dec* dtmf_ = nullptr;
  std::vector<std::int16_t> decoded_;            // the callee's last packet, as samples
  std::optional<std::uint32_t> next_timestamp_;  // RTP timestamp the next packet should have
  // The RTP socket: made by Start before the call is on the media clock,
  // released by Release after it has left it and the receivers. The
  // stack's receivers (media_receivers.h) read it, the media clock sends on
  // it.
  struct ::rtp_sock* rtp_ = nullptr;
  int rtp_fd_ = -1;  // its UDP socket, for the media clock
  std::uint32_t rtp_ssrc_ = 0;

  mutable Mutex mutex_;
  std::condition_variable changed_;  // notified whenever a member below changes
  State state_ RINGWELL_GUARDED_BY(mutex_) = State::kIdle;
  State ended_in_ RINGWELL_GUARDED_BY(mutex_) = State::kIdle;  // the state end_ ended
  EndReason end_ RINGWELL_GUARDED_BY(mutex_) = EndReason::kNone;
  int error_ RINGWELL_GUARDED_BY(mutex_) = 0;         // the errno behind end_, or 0
  std::string no_audio_ RINGWELL_GUARDED_BY(mutex_);  // why, for kNoAudio
  // The last reply of note: Ringing or Session Progress, then the final
  // reply to the INVITE, then the reply to the BYE.
  int code_ RINGWELL_GUARDED_BY(mutex_) = 0;
  std::string reason_ RINGWELL_GUARDED_BY(mutex_);
  bool invite_replied_ RINGWELL_GUARDED_BY(mutex_) = false;  // a final reply came
  bool bye_replied_ RINGWELL_GUARDED_BY(mutex_) = false;
  std::optional<Clock::time_point> answered_at_ RINGWELL_GUARDED_BY(mutex_);
  Clock::time_point ended_at_ RINGWELL_GUARDED_BY(mutex_);
  std::optional<Media> media_ RINGWELL_GUARDED_BY(mutex_);
  const std::unique_ptr<struct ::sa> remote_ RINGWELL_PT_GUARDED_BY(mutex_);  // where RTP goes
  const MachineDetection detection_;
  amd::AnswerDetector detector_ RINGWELL_GUARDED_BY(mutex_);
  // When the callee's audio last came, and how much silence the clock fed
  // the detector since then for audio that did not come.
  Clock::time_point heard_at_ RINGWELL_GUARDED_BY(mutex_);
  double filled_ RINGWELL_GUARDED_BY(mutex_) = 0;
  // AwaitGreetingEnd has returned: the detector hears no more, unless it
  // follows a machine's greeting while the message plays (following_).
  bool greeting_over_ RINGWELL_GUARDED_BY(mutex_) = false;
  bool following_ RINGWELL_GUARDED_BY(mutex_) = false;
  // When the machine's speech resumed and stopped the message; not taken yet.
  std::optional<double> interrupted_ RINGWELL_GUARDED_BY(mutex_);
  std::deque<std::string> keys_ RINGWELL_GUARDED_BY(mutex_);
  std::vector<std::string> notes_ RINGWELL_GUARDED_BY(mutex_);

  // What the media clock reads for every packet, under a lock of its own
  // that is never held for long (never while the detector hears the callee,
  // which takes a while), so that no call's audio work delays the packets
  // of the calls sent after it. Taken after mutex_ where both are held.
  mutable Mutex send_mutex_;
  std::condition_variable drained_;  // notified when queued_ empties or send_ended_ is set
  // Message audio still to be sent: the parts' audio (shared with the
  // other calls playing them), from byte queued_at_ of part queued_part_
  // on. Empty when nothing is to be sent.
  std::vector<PartAudio> queued_ RINGWELL_GUARDED_BY(send_mutex_);
  std::size_t queued_part_ RINGWELL_GUARDED_BY(send_mutex_) = 0;
  std::size_t queued_at_ RINGWELL_GUARDED_BY(send_mutex_) = 0;
  Codec send_codec_ RINGWELL_GUARDED_BY(send_mutex_) = Codec::kPcmu;
  bool talking_ RINGWELL_GUARDED_BY(send_mutex_) = false;     // the last packet held message audio
  bool send_ended_ RINGWELL_GUARDED_BY(send_mutex_) = false;  // the call has ended
  // When the last sound sent has played out at this end: the line hangs up
  // no sooner than kPlayOut after it.
  Clock::time_point sound_until_ RINGWELL_GUARDED_BY(send_mutex_);
};

}  // namespace ringwell::host::sip
