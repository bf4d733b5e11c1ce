#include "sip_call.h"

#include <re.h>
#include <rem.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace ringwell::host::sip {
namespace {

using Clock = std::chrono::steady_clock;

// RTP goes out from, and comes back to, a UDP port in this range.
constexpr std::uint16_t kRtpPortMin = 10000;
constexpr std::uint16_t kRtpPortMax = 60000;
// The payload types the offer names: PCMU and PCMA have static ones (RFC
// 3551); telephone-event (RFC 4733) takes a dynamic one, for the events 0-15
// (the keys 0-9, *, #, A-D).
constexpr char kPcmuPayloadType[] = "0";
constexpr char kPcmaPayloadType[] = "8";
constexpr char kTelephoneEventPayloadType[] = "101";
constexpr char kTelephoneEvents[] = "0-15";
// Silence after the last sound of the message before BYE: the callee's
// jitter buffer still holds the end of it. Silence that ends the message
// itself counts (speech ends with a few hundred ms of it), and so does the
// wait for a key after it: only what is missing is added.
constexpr auto kPlayOut = std::chrono::milliseconds(400);
// How long the line waits for the last word on a session it let go of (the
// 487 after its CANCEL, the reply to its BYE); a peer normally answers in
// milliseconds.
constexpr auto kLastReplyWait = std::chrono::seconds(4);

double Since(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

std::string Reason(const struct sip_msg* msg) { return std::string(msg->reason.p, msg->reason.l); }

bool IsG711(const char* name) { return !str_casecmp(name, "PCMU") || !str_casecmp(name, "PCMA"); }

}  // namespace

// libre's handlers for one call. Each runs on the stack's loop thread with
// the call as its argument and passes the event on.
struct SipCall::Libre {
  static SipCall& Of(void* arg) { return *static_cast<SipCall*>(arg); }

  // The RTP socket is read by the stack's receivers, not by libre's loop.
  static void Rtp(const struct sa*, const struct rtp_header*, struct mbuf*, void*) {}
  static void ToneKey(char digit, void* arg) { Of(arg).OnKey(digit, "as tone"); }
  // The callee's offers within the call (re-INVITEs) are refused.
  static int Offer(struct mbuf**, const struct sip_msg*, void*) { return ENOSYS; }
  static int Answer(const struct sip_msg* msg, void* arg) { return Of(arg).OnAnswer(msg); }
  static void Progress(const struct sip_msg* msg, void* arg) { Of(arg).OnProgress(msg); }
  static void Established(const struct sip_msg*, void* arg) { Of(arg).OnEstablished(); }
  static void Close(int err, const struct sip_msg* msg, void* arg) { Of(arg).OnClose(err, msg); }
};

SipCall::SipCall(SipStack& stack, std::string wav_dir, const MachineDetection& detection)
    : stack_(stack),
      wav_dir_(std::move(wav_dir)),
      remote_(std::make_unique<struct sa>()),
      detection_(detection),
      detector_(detection) {}

SipCall::~SipCall() { HangUp(); }

DialResult SipCall::Dial(const std::string& uri, double ring_seconds) {
  DialResult result;
  result.protocol.push_back("Calling " + uri);
  {
    MutexLock lock(mutex_);
    if (state_ == State::kEnded) {  // aborted before the call was placed
      result.error = "The host is stopping";
      return result;
    }
  }
  placed_ = true;
  int err = 0;
  stack_.Run([&] { err = Start(uri); });

  if (err == 0) {
    receiving_.fd = rtp_fd_;
    receiving_.sink = this;
    if (!stack_.media_receivers().Add(&receiving_)) err = errno;
  }
  MutexLock lock(mutex_);
  if (err != 0) {
    EndCall(EndReason::kNotPlaced, err);
    lock.Unlock();
    result.error = std::string("Cannot place the call: ") + std::strerror(err);
    result.protocol.push_back(result.error);
    HangUp();
    return result;
  }
  const Clock::time_point deadline = Clock::now() + ToDuration(ring_seconds);
  while (state_ != State::kAnswered && state_ != State::kEnded &&
         changed_.wait_until(lock.native(), deadline) == std::cv_status::no_timeout) {
  }
  // A callee who picked up answered the call, even when it hung up again
  // before the line got here (a BYE right after the 200 OK): the walk then
  // notes that the callee hung up.
  if (answered_at_) {
    result.outcome = DialOutcome::kAnswered;
    result.code = code_;
    result.reason = reason_;
    result.protocol.push_back("Answered: " + std::to_string(code_) + " " + reason_ + " (" +
                              (media_->codec == Codec::kPcmu ? "PCMU" : "PCMA") +
                              (media_->event_pt >= 0 ? ", telephone-event" : "") + ")");
    const bool on_line = state_ == State::kAnswered;
    lock.Unlock();
    if (on_line) StartSending();
    return result;
  }
  // Not answered: what decides the result is read under the lock, as Abort
  // may come from another thread at any time.
  const bool proceeding = state_ == State::kProceeding;
  EndCall(EndReason::kRingTimeOver);  // when still ringing
  const EndReason end = end_;
  const int error = error_;
  const std::string no_audio = no_audio_;
  lock.Unlock();
  HangUp();  // CANCEL, and the final reply to it

  const std::pair<int, std::string> last = LastReply();
  result.code = last.first;
  result.reason = last.second;
  const std::string reply = std::to_string(result.code) + " " + result.reason;
  switch (end) {
    case EndReason::kRingTimeOver:
      if (proceeding) {
        result.outcome = DialOutcome::kNoAnswer;
        char text[96];
        std::snprintf(text, sizeof text, "No answer within %.0f s; cancelled", ring_seconds);
        result.protocol.push_back(text);
        if (result.code >= 200) result.protocol.push_back("Reply: " + reply);
      } else {
        result.error = "No reply to the INVITE within " + std::to_string(int(ring_seconds)) + " s";
        result.protocol.push_back(result.error);
      }
      break;
    case EndReason::kHostStopping:
      result.error = "The host is stopping";
      break;
    case EndReason::kRefused:
      result.protocol.push_back("Reply: " + reply);
      result.outcome = OutcomeOfFinalReply(result.code);
      if (result.outcome == DialOutcome::kFailed) result.error = "SIP " + reply;
      break;
    case EndReason::kNoAudio:
      result.protocol.push_back("Answered: " + reply);
      result.error = "No usable audio: " + no_audio;
      result.protocol.push_back(result.error + "; acknowledged and hung up");
      break;
    default:
      result.error = std::string("Call failed: ") + std::strerror(error);
      if (const std::string refusal = stack_.TakeTlsRefusal(); !refusal.empty()) {
        result.error += " (the peer's TLS certificate was refused: " + refusal + ")";
      }
      result.protocol.push_back(result.error);
  }
  return result;
}

int SipCall::Start(const std::string& uri) {
  int err = OpenMedia();
  if (!err) err = Invite(uri);
  if (!err) {
    MutexLock lock(mutex_);
    Advance(State::kCalling);
  }
  return err;
}

// The RTP socket, the session description of the offer, and the key event
// and key tone decoders.
int SipCall::OpenMedia() {
  struct sa local;
  int err = sa_set_str(&local, stack_.local_address().c_str(), 0);
  if (!err) {
    err = rtp_listen(&rtp_, IPPROTO_UDP, &local, kRtpPortMin, kRtpPortMax, false, Libre::Rtp,
                     nullptr, this);
  }
  if (!err) {
    rtp_fd_ = udp_sock_fd(static_cast<const struct udp_sock*>(rtp_sock(rtp_)), sa_af(&local));
    rtp_ssrc_ = rtp_sess_ssrc(rtp_);
    if (rtp_fd_ < 0) err = EBADF;
  }
  if (!err) udp_thread_detach(static_cast<struct udp_sock*>(rtp_sock(rtp_)));
  if (!err) err = sdp_session_alloc(&sdp_, &local);
  if (!err) {
    err = sdp_media_add(&sdp_media_, sdp_, sdp_media_audio, sa_port(rtp_local(rtp_)),
                        sdp_proto_rtpavp);
  }
  if (!err) {
    err = sdp_format_add(nullptr, sdp_media_, false, kPcmuPayloadType, "PCMU", kSampleRate, 1,
                         nullptr, nullptr, nullptr, false, nullptr);
  }
  if (!err) {
    err = sdp_format_add(nullptr, sdp_media_, false, kPcmaPayloadType, "PCMA", kSampleRate, 1,
                         nullptr, nullptr, nullptr, false, nullptr);
  }
  if (!err) {
    err = sdp_format_add(nullptr, sdp_media_, false, kTelephoneEventPayloadType, telev_rtpfmt,
                         kSampleRate, 1, nullptr, nullptr, nullptr, false, "%s", kTelephoneEvents);
  }
  if (!err) err = telev_alloc(&telev_, TELEV_PTIME);
  if (!err) err = dtmf_dec_alloc(&dtmf_, kSampleRate, 1, Libre::ToneKey, this);
  return err;
}

// Sends the INVITE with the offer.
int SipCall::Invite(const std::string& uri) {
  struct mbuf* offer = nullptr;
  int err = sdp_encode(&offer, sdp_, true);
  if (!err) {
    const SipAccount& account = stack_.account();
    const std::string from = stack_.FromUri();
    const char* routes[1] = {account.outbound_proxy.c_str()};
    err = sipsess_connect(
        &session_, stack_.sessions(), uri.c_str(),
        account.caller_id.empty() ? nullptr : account.caller_id.c_str(), from.c_str(),
        account.user.c_str(), routes, account.outbound_proxy.empty() ? 0 : 1, "application/sdp",
        offer, SipStack::Authenticate, &stack_, false, Libre::Offer, Libre::Answer, Libre::Progress,
        Libre::Established, nullptr, nullptr, Libre::Close, this, nullptr);
  }
  mem_deref(offer);
  if (!err) {
    call_id_ = sip_dialog_callid(sipsess_dialog(session_));
    stack_.WatchReplies(call_id_, [this](const struct sip_msg& msg) { OnFinalReply(msg); });
  }
  return err;
}

void SipCall::OnProgress(const struct sip_msg* msg) {
  MutexLock lock(mutex_);
  if (state_ != State::kCalling && state_ != State::kProceeding) return;
  Advance(State::kProceeding);
  if (msg->scode == 180 || msg->scode == 183) {
    code_ = msg->scode;
    reason_ = Reason(msg);
  }
}

// The callee's answer to the offer: the first of its formats that is PCMU
// or PCMA, and telephone-event when it offers that, on an audio stream it
// accepts (a port) at an address. An error refuses the answer: libre then
// acknowledges the 200 OK, ends the dialog with BYE and closes the session.
int SipCall::OnAnswer(const struct sip_msg* msg) {
  std::string unusable;
  const struct sdp_format* audio = nullptr;
  const struct sdp_format* events = nullptr;
  if (sdp_decode(sdp_, msg->mb, false) != 0) {
    unusable = "the answer's session description cannot be read";
  } else if (sdp_media_rport(sdp_media_) == 0) {
    unusable = "the answer rejects the audio stream (port 0)";
  } else if (!sa_isset(sdp_media_raddr(sdp_media_), SA_ADDR)) {
    unusable = "the answer gives no address for the audio (0.0.0.0)";
  } else {
    for (const struct le* le = list_head(sdp_media_format_lst(sdp_media_, false)); le;
         le = le->next) {
      const auto* format = static_cast<const struct sdp_format*>(le->data);
      if (IsG711(format->name)) {
        audio = format;
        break;
      }
    }
    if (audio == nullptr) unusable = "the answer offers neither PCMU nor PCMA";
    events = sdp_media_rformat(sdp_media_, telev_rtpfmt);
  }
  MutexLock lock(mutex_);
  if (media_) return 0;  // fixed by an earlier answer
  if (audio == nullptr) {
    no_audio_ = unusable;
    return EPROTO;
  }
  media_ = Media{str_casecmp(audio->name, "PCMU") == 0 ? Codec::kPcmu : Codec::kPcma, audio->pt,
                 events != nullptr ? events->pt : -1};
  sa_cpy(remote_.get(), sdp_media_raddr(sdp_media_));
  changed_.notify_all();
  return 0;
}

void SipCall::OnEstablished() {
  MutexLock lock(mutex_);
  if (state_ == State::kEnded) return;  // the line hangs up (BYE)
  if (!media_) {
    if (no_audio_.empty()) no_audio_ = "the answer holds no session description";
    EndCall(EndReason::kNoAudio);
    return;
  }
  code_ = 200;
  reason_ = "OK";
  answered_at_ = Clock::now();
  heard_at_ = *answered_at_;
  Advance(State::kAnswered);
}

void SipCall::OnClose(int err, const struct sip_msg* msg) {
  MutexLock lock(mutex_);
  if (state_ == State::kAnswered) {
    EndCall(err == ECONNRESET ? EndReason::kCalleeHungUp : EndReason::kDropped, err);
  } else if (state_ == State::kEnded) {
    return;
  } else if (msg != nullptr && msg->scode >= 300) {
    code_ = msg->scode;
    reason_ = Reason(msg);
    EndCall(EndReason::kRefused, err);
  } else if (msg != nullptr && msg->scode >= 200 && !media_) {
    if (no_audio_.empty()) no_audio_ = "the answer holds no session description";
    EndCall(EndReason::kNoAudio);
  } else {
    EndCall(EndReason::kFailed, err);
  }
}

void SipCall::OnFinalReply(const struct sip_msg& msg) {
  // libre answers a digest challenge itself, sending the request again.
  if (msg.scode < 200 || msg.scode == 401 || msg.scode == 407) return;
  const bool invite = pl_strcmp(&msg.cseq.met, "INVITE") == 0;
  const bool bye = pl_strcmp(&msg.cseq.met, "BYE") == 0;
  MutexLock lock(mutex_);
  // A 200 OK comes again until the ACK reaches the callee: the first counts.
  if ((invite && !invite_replied_) || (bye && !bye_replied_)) {
    code_ = msg.scode;
    reason_ = Reason(&msg);
    (invite ? invite_replied_ : bye_replied_) = true;
    if (bye && msg.scode >= 300) {
      notes_.push_back("BYE refused: " + std::to_string(code_) + " " + reason_);
    }
    changed_.notify_all();
  }
}

std::optional<std::string> SipCall::Ended() const {
  MutexLock lock(mutex_);
  return EndText();
}

double SipCall::Seconds() const {
  MutexLock lock(mutex_);
  if (!answered_at_) return 0;
  return Since(*answered_at_, state_ == State::kEnded ? ended_at_ : Clock::now());
}

std::vector<std::string> SipCall::TakeNotes() {
  MutexLock lock(mutex_);
  return std::exchange(notes_, {});
}

std::pair<int, std::string> SipCall::LastReply() const {
  MutexLock lock(mutex_);
  return {code_, reason_};
}

void SipCall::Abort() {
  MutexLock lock(mutex_);
  EndCall(EndReason::kHostStopping);
}

void SipCall::HangUp() {
  if (!placed_) return;
  {
    MutexLock lock(mutex_);
    if (state_ == State::kAnswered) {
      Clock::time_point sound_until;
      {
        MutexLock send(send_mutex_);
        sound_until = sound_until_;
      }
      const Clock::time_point deadline = sound_until + kPlayOut;
      while (state_ == State::kAnswered &&
             changed_.wait_until(lock.native(), deadline) == std::cv_status::no_timeout) {
      }
    }
    EndCall(EndReason::kLineHungUp);
  }
  if (sending_) {
    stack_.media_clock().Remove(&stream_);
    sending_ = false;
  }
  stack_.media_receivers().Remove(&receiving_);
  stack_.Run([this] { Release(); });
  {
    MutexLock lock(mutex_);
    const Clock::time_point deadline = Clock::now() + kLastReplyWait;
    while (AwaitsLastReply() &&
           changed_.wait_until(lock.native(), deadline) == std::cv_status::no_timeout) {
    }
    if (AwaitsLastReply() && ended_in_ == State::kAnswered) {
      notes_.push_back("No reply to the BYE within " +
                       std::to_string(std::chrono::seconds(kLastReplyWait).count()) + " s");
    }
  }
  stack_.Run([this] { stack_.StopWatching(call_id_); });
  placed_ = false;
}

void SipCall::Release() {
  // Releasing the session sends BYE (answered) or CANCEL (ringing); libre
  // keeps what it needs until the peer has replied, and calls nothing of
  // this object any more.
  session_ = static_cast<struct ::sipsess*>(mem_deref(session_));
  rtp_ = static_cast<struct ::rtp_sock*>(mem_deref(rtp_));
  rtp_fd_ = -1;
  sdp_media_ = nullptr;
  sdp_ = static_cast<struct ::sdp_session*>(mem_deref(sdp_));
  telev_ = static_cast<struct ::telev*>(mem_deref(telev_));
  dtmf_ = static_cast<struct ::dtmf_dec*>(mem_deref(dtmf_));
}

void SipCall::Advance(State state) {
  if (state_ == State::kEnded || state <= state_ || state == State::kEnded) return;
  state_ = state;
  changed_.notify_all();
}

void SipCall::EndCall(EndReason reason, int error) {
  if (state_ == State::kEnded) return;
  ended_in_ = state_;
  state_ = State::kEnded;
  end_ = reason;
  error_ = error;
  ended_at_ = Clock::now();
  changed_.notify_all();
  MutexLock send(send_mutex_);
  send_ended_ = true;
  drained_.notify_all();
}

std::optional<std::string> SipCall::EndText() const {
  if (state_ != State::kEnded) return std::nullopt;
  switch (end_) {
    case EndReason::kCalleeHungUp:
      return "Callee hung up";
    case EndReason::kDropped:
      return std::string("Call dropped (") + std::strerror(error_) + ")";
    case EndReason::kLineHungUp:
      return "Line hung up";
    case EndReason::kHostStopping:
      return "Host stopping: call ended";
    case EndReason::kRingTimeOver:
      return "Not answered";
    case EndReason::kRefused:
      return "Refused: " + std::to_string(code_) + " " + reason_;
    case EndReason::kNoAudio:
      return "No usable audio: " + no_audio_;
    case EndReason::kNotPlaced:
    case EndReason::kFailed:
    case EndReason::kNone:
      break;
  }
  return std::string("Call failed: ") + std::strerror(error_);
}

bool SipCall::AwaitsLastReply() const {
  const bool line_ended = end_ == EndReason::kLineHungUp || end_ == EndReason::kHostStopping ||
                          end_ == EndReason::kRingTimeOver;
  if (!line_ended) return false;
  if (ended_in_ == State::kAnswered) return !bye_replied_;
  if (ended_in_ == State::kProceeding) return !invite_replied_;
  return false;
}

}  // namespace ringwell::host::sip
