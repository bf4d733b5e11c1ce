#include "sip_call.h"

#include <pthread.h>
#include <re.h>
#include <rem.h>
#include <sched.h>
#include <time.h>

#include <cstring>

#include "ringwell/common/storage.h"

namespace ringwell::host::sip {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPlayOut = std::chrono::milliseconds(400);

double Since(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

std::string Reason(const struct sip_msg* msg) { return std::string(msg->reason.p, msg->reason.l); }

timespec Timespec(std::chrono::nanoseconds since_epoch) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  return {static_cast<time_t>(seconds.count()), static_cast<long>((since_epoch - seconds).count())};
}

std::chrono::nanoseconds MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

SipCall::SipCall(SipStack& stack, std::string wav_dir)
    : stack_(stack), wav_dir_(std::move(wav_dir)), remote_(std::make_unique<struct sa>()) {}

SipCall::~SipCall() { HangUp(); }

DialResult SipCall::Dial(const std::string& uri, double ring_seconds) {
  DialResult result;
  result.protocol.push_back("Calling " + uri);
  int err = 0;
  live_ = true;
  stack_.Run([&] { err = Start(uri); });
  std::unique_lock lock(mutex_);
  if (err != 0) {
    phase_ = Phase::kClosed;
    result.error = std::string("Cannot place the call: ") + std::strerror(err);
    result.protocol.push_back(result.error);
    return result;
  }
  const bool done = changed_.wait_for(lock, std::chrono::duration<double>(ring_seconds), [&] {
    return phase_ == Phase::kAnswered || phase_ == Phase::kClosed || aborted_;
  });
  result.code = code_;
  result.reason = reason_;
  if (phase_ == Phase::kAnswered) {
    result.outcome = DialOutcome::kAnswered;
    result.protocol.push_back("Answered: " + std::to_string(code_) + " " + reason_ + " (" +
                              (codec_ == Codec::kPcmu ? "PCMU" : "PCMA") +
                              (event_pt_ >= 0 ? ", telephone-event" : "") + ")");
    sender_ = std::jthread([this](std::stop_token stop) { Send(stop); });
    return result;
  }
  if (!done || aborted_) {
    // Abort may come from another thread at any time: what decides the
    // result is read under the lock.
    const bool aborted = aborted_;
    const bool responded = responded_;
    lock.unlock();
    HangUp();
    if (aborted) {
      result.error = "The host is stopping";
    } else if (responded) {
      result.outcome = DialOutcome::kNoAnswer;
      char text[96];
      std::snprintf(text, sizeof text, "No answer within %.0f s; cancelled", ring_seconds);
      result.protocol.push_back(text);
    } else {
      result.error = "No reply to the INVITE within " + std::to_string(int(ring_seconds)) + " s";
      result.protocol.push_back(result.error);
    }
    return result;
  }
  // Closed before an answer.
  if (code_ != 0) {
    result.protocol.push_back("Reply: " + std::to_string(code_) + " " + reason_);
    result.outcome = OutcomeOfFinalReply(code_);
    if (result.outcome == DialOutcome::kFailed) {
      result.error = "SIP " + std::to_string(code_) + " " + reason_;
    }
  } else {
    result.error = std::string("Call failed: ") + std::strerror(close_error_);
    if (const std::string refusal = stack_.TakeTlsRefusal(); !refusal.empty()) {
      result.error += " (the peer's TLS certificate was refused: " + refusal + ")";
    }
    result.protocol.push_back(result.error);
  }
  return result;
}

int SipCall::Start(const std::string& uri) {
  struct sa local;
  int err = sa_set_str(&local, stack_.local_address().c_str(), 0);
  if (!err) {
    err = rtp_listen(
        &rtp_, IPPROTO_UDP, &local, 10000, 60000, false,
        [](const struct sa*, const struct rtp_header* header, struct mbuf* mb, void* arg) {
          static_cast<SipCall*>(arg)->OnRtp(header, mb);
        },
        nullptr, this);
  }
  if (!err) err = sdp_session_alloc(&sdp_, &local);
  if (!err)
    err = sdp_media_add(&media_, sdp_, sdp_media_audio, sa_port(rtp_local(rtp_)), sdp_proto_rtpavp);
  if (!err)
    err = sdp_format_add(nullptr, media_, false, "0", "PCMU", 8000, 1, nullptr, nullptr, nullptr,
                         false, nullptr);
  if (!err)
    err = sdp_format_add(nullptr, media_, false, "8", "PCMA", 8000, 1, nullptr, nullptr, nullptr,
                         false, nullptr);
  if (!err)
    err = sdp_format_add(nullptr, media_, false, "101", telev_rtpfmt, 8000, 1, nullptr, nullptr,
                         nullptr, false, "0-15");
  if (!err) err = telev_alloc(&telev_, TELEV_PTIME);
  if (!err) {
    err = dtmf_dec_alloc(
        &dtmf_, kSampleRate, 1,
        [](char digit, void* arg) { static_cast<SipCall*>(arg)->OnKey(digit, "as tone"); }, this);
  }
  struct mbuf* offer = nullptr;
  if (!err) err = sdp_encode(&offer, sdp_, true);
  if (!err) {
    const SipAccount& account = stack_.account();
    const std::string from = stack_.FromUri();
    const char* routes[1] = {account.outbound_proxy.c_str()};
    err = sipsess_connect(
        &session_, stack_.sessions(), uri.c_str(),
        account.caller_id.empty() ? nullptr : account.caller_id.c_str(), from.c_str(),
        account.user.c_str(), routes, account.outbound_proxy.empty() ? 0 : 1, "application/sdp",
        offer, SipStack::Authenticate, &stack_, false,
        [](struct mbuf**, const struct sip_msg*, void*) { return ENOSYS; },  // no re-offers
        [](const struct sip_msg* msg, void* arg) {
          static_cast<SipCall*>(arg)->OnAnswer(msg);
          return static_cast<SipCall*>(arg)->audio_pt_ >= 0 ? 0 : EPROTO;
        },
        [](const struct sip_msg* msg, void* arg) { static_cast<SipCall*>(arg)->OnProgress(msg); },
        [](const struct sip_msg*, void* arg) { static_cast<SipCall*>(arg)->OnEstablished(); },
        nullptr, nullptr,
        [](int err, const struct sip_msg* msg, void* arg) {
          static_cast<SipCall*>(arg)->OnClose(err, msg);
        },
        this, nullptr);
  }
  mem_deref(offer);
  if (!err) {
    std::lock_guard lock(mutex_);
    phase_ = Phase::kCalling;
  }
  return err;
}

void SipCall::OnProgress(const struct sip_msg* msg) {
  std::lock_guard lock(mutex_);
  responded_ = true;
  if (msg->scode == 180 || msg->scode == 183) code_ = msg->scode, reason_ = Reason(msg);
}

void SipCall::OnAnswer(const struct sip_msg* msg) {
  if (sdp_decode(sdp_, msg->mb, false) != 0) return;
  const struct sdp_format* audio = sdp_media_rformat(media_, nullptr);
  const struct sdp_format* events = sdp_media_rformat(media_, telev_rtpfmt);
  std::lock_guard lock(mutex_);
  for (const struct le* le = list_head(sdp_media_format_lst(media_, false)); le; le = le->next) {
    const auto* format = static_cast<const struct sdp_format*>(le->data);
    if (!str_casecmp(format->name, "PCMU") || !str_casecmp(format->name, "PCMA")) {
      audio = format;
      break;
    }
  }
  if (audio == nullptr || (str_casecmp(audio->name, "PCMU") && str_casecmp(audio->name, "PCMA"))) {
    notes_.push_back("The callee's answer offers neither PCMU nor PCMA");
    return;
  }
  codec_ = str_casecmp(audio->name, "PCMU") == 0 ? Codec::kPcmu : Codec::kPcma;
  audio_pt_ = audio->pt;
  event_pt_ = events != nullptr ? events->pt : -1;
  sa_cpy(remote_.get(), sdp_media_raddr(media_));
}

void SipCall::OnEstablished() {
  std::lock_guard lock(mutex_);
  responded_ = true;
  code_ = 200;
  reason_ = "OK";
  phase_ = Phase::kAnswered;
  answered_at_ = Clock::now();
  changed_.notify_all();
}

void SipCall::OnClose(int err, const struct sip_msg* msg) {
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kAnswered) {
    if (!ended_) {
      ended_ = err == ECONNRESET ? "Callee hung up"
                                 : std::string("Call dropped (") + std::strerror(err) + ")";
      hung_up_at_ = Clock::now();
    }
  } else {
    close_error_ = err;
    if (msg != nullptr && msg->scode >= 300) {
      code_ = msg->scode;
      reason_ = Reason(msg);
    } else if (msg != nullptr && msg->scode >= 200 && audio_pt_ < 0) {
      code_ = 0;
      close_error_ = err ? err : EPROTO;
      notes_.push_back("Answered without usable media");
    }
  }
  phase_ = Phase::kClosed;
  changed_.notify_all();
}

void SipCall::OnRtp(const struct rtp_header* header, struct mbuf* mb) {
  int audio_pt, event_pt;
  Codec codec;
  {
    std::lock_guard lock(mutex_);
    audio_pt = audio_pt_, event_pt = event_pt_, codec = codec_;
  }
  if (event_pt >= 0 && header->pt == event_pt) {
    int event = 0;
    bool end = false;
    if (telev_recv(telev_, mb, &event, &end) == 0 && !end) {
      const int digit = telev_code2digit(event);
      if (digit > 0) OnKey(static_cast<char>(digit), "as RFC 4733 event");
    }
    return;
  }
  if (header->pt != audio_pt) return;
  DecodeG711(codec, {mbuf_buf(mb), mbuf_get_left(mb)}, &decoded_);
  dtmf_dec_probe(dtmf_, decoded_.data(), decoded_.size());
  std::lock_guard lock(mutex_);
  if (greeting_over_) return;
  greeting_.Feed(decoded_);
  if (greeting_.Over()) changed_.notify_all();
}

void SipCall::OnKey(char key, const char* how) {
  std::lock_guard lock(mutex_);
  if (!greeting_over_) return;  // a key needs a message to answer
  keys_.emplace_back(1, key);
  notes_.push_back(std::string("Key ") + key + " heard " + how);
  changed_.notify_all();
}

void SipCall::Send(std::stop_token stop) {
  using namespace std::chrono;
  // Packets are due every 20 ms whatever else the machine does: the sender
  // asks for a real-time priority and goes on without one where it may not.
  const sched_param priority{.sched_priority = 10};
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
  constexpr auto kPacket = milliseconds(20);
  const auto start = MonotonicNow();
  std::uint32_t timestamp = rand_u32();
  std::uint8_t frame[kFrameSamples];
  bool talking = false;  // a talkspurt (message audio) is going out
  for (std::int64_t packet = 0; !stop.stop_requested(); ++packet) {
    const auto due = start + packet * duration_cast<nanoseconds>(kPacket);
    const timespec wake = Timespec(due);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
    bool marker = false;
    {
      std::lock_guard lock(mutex_);
      if (ended_ || phase_ != Phase::kAnswered) return;
      const std::size_t left = queued_.size() - queued_at_;
      const std::size_t take = std::min<std::size_t>(left, kFrameSamples);
      if (take > 0) std::memcpy(frame, queued_.data() + queued_at_, take);
      std::memset(frame + take, SilenceByte(codec_), kFrameSamples - take);
      queued_at_ += take;
      marker = take > 0 && !talking;
      talking = take > 0;
      if (take > 0 && queued_at_ == queued_.size()) {
        queued_.clear();
        queued_at_ = 0;
        changed_.notify_all();
      }
    }
    struct mbuf* mb = mbuf_alloc(RTP_HEADER_SIZE + kFrameSamples);
    if (mb == nullptr) continue;
    mb->pos = mb->end = RTP_HEADER_SIZE;
    (void)mbuf_write_mem(mb, frame, kFrameSamples);
    mb->pos = RTP_HEADER_SIZE;
    (void)rtp_send(rtp_, remote_.get(), false, marker, static_cast<std::uint8_t>(audio_pt_),
                   timestamp + static_cast<std::uint32_t>(packet * kFrameSamples), mb);
    mem_deref(mb);
  }
}

bool SipCall::AwaitGreetingEnd(double max_seconds) {
  std::unique_lock lock(mutex_);
  const bool over = changed_.wait_until(
      lock,
      answered_at_ +
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(max_seconds)),
      [&] { return greeting_.Over() || ended_ || aborted_; });
  greeting_over_ = true;
  keys_.clear();
  return over && greeting_.Over();
}

double SipCall::Play(const std::vector<MessagePart>& parts) {
  std::vector<std::uint8_t> audio;
  Codec codec;
  {
    std::lock_guard lock(mutex_);
    codec = codec_;
  }
  for (const MessagePart& part : parts) {
    std::string error;
    if (part.type != "File") {
      error = "not rendered into a wav file";
    } else if (!IsPlainName(part.content)) {
      error = "not a plain file name";
    } else if (auto bytes = LoadPartAudio(wav_dir_ + part.content, codec, &error)) {
      audio.insert(audio.end(), bytes->begin(), bytes->end());
      continue;
    }
    std::lock_guard lock(mutex_);
    notes_.push_back("Not played: " + part.content + " (" + error + ")");
  }
  const double length = double(audio.size()) / kSampleRate;
  std::unique_lock lock(mutex_);
  if (audio.empty() || ended_ || aborted_) return length;
  queued_ = std::move(audio);
  queued_at_ = 0;
  changed_.wait(lock, [&] { return queued_.empty() || ended_.has_value() || aborted_; });
  return length;
}

std::optional<std::string> SipCall::AwaitKey(double timeout_seconds) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::duration<double>(timeout_seconds),
                    [&] { return !keys_.empty() || ended_.has_value() || aborted_; });
  if (keys_.empty() || ended_ || aborted_) return std::nullopt;
  std::string key = keys_.front();
  keys_.pop_front();
  return key;
}

std::optional<std::string> SipCall::Ended() const {
  std::lock_guard lock(mutex_);
  if (ended_) return ended_;
  if (aborted_) return "Host stopping: call ended";
  return std::nullopt;
}

double SipCall::Seconds() const {
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kIdle || phase_ == Phase::kCalling) return 0;
  return Since(answered_at_, ended_ ? hung_up_at_ : Clock::now());
}

std::vector<std::string> SipCall::Notes() const {
  std::lock_guard lock(mutex_);
  return notes_;
}

void SipCall::Abort() {
  std::lock_guard lock(mutex_);
  aborted_ = true;
  changed_.notify_all();
}

void SipCall::HangUp() {
  {
    std::unique_lock lock(mutex_);
    if (!live_) return;
    // The callee's jitter buffer still holds the end of the last message:
    // some silence lets it play out before BYE.
    if (phase_ == Phase::kAnswered && !ended_ && !aborted_) {
      changed_.wait_for(lock, kPlayOut, [&] { return ended_.has_value() || aborted_; });
    }
    if (phase_ == Phase::kAnswered && !ended_) {
      ended_ = "Line hung up";
      hung_up_at_ = Clock::now();
    }
    changed_.notify_all();
  }
  if (sender_.joinable()) {
    sender_.request_stop();
    sender_.join();
  }
  stack_.Run([this] { Release(); });
  std::lock_guard lock(mutex_);
  live_ = false;
}

void SipCall::Release() {
  // Releasing the session sends BYE (answered) or CANCEL (ringing); libre
  // keeps what it needs until the peer has replied, and calls nothing of
  // this object any more.
  session_ = static_cast<struct ::sipsess*>(mem_deref(session_));
  rtp_ = static_cast<struct ::rtp_sock*>(mem_deref(rtp_));
  media_ = nullptr;
  sdp_ = static_cast<struct ::sdp_session*>(mem_deref(sdp_));
  telev_ = static_cast<struct ::telev*>(mem_deref(telev_));
  dtmf_ = static_cast<struct ::dtmf_dec*>(mem_deref(dtmf_));
}

}  // namespace ringwell::host::sip
