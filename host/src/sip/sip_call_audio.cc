// The audio side of an answered SIP call (SipCall, sip_call.h): the audio
// of its steady RTP stream to the callee (each packet's, as the media clock
// takes it), the callee's audio and keys as a media receiver thread
// receives them, and the walker's waits for them.
// clang-format off
#include "sip_call.h"  // first: libre's headers need the integer types it brings
// clang-format on

#include <re.h>
#include <rem.h>

#include <cstdio>
#include <cstring>

#include "ringwell/common/storage.h"

namespace ringwell::host::sip {
namespace {

// One RTP packet carries kFrameSamples samples: it is due every 20 ms.
constexpr auto kPacketInterval = std::chrono::milliseconds(1000 * kFrameSamples / kSampleRate);
// A jump in the callee's RTP timestamps up to this many samples is audio
// that did not come; a longer one is a new start.
constexpr std::int32_t kMaxTimestampGap = 10 * kSampleRate;
// With nothing from the callee for this long, the clock fills the
// detector's audio with silence, looking again every step.
constexpr double kQuietBeforeFilling = 0.5;
constexpr auto kClockStep = std::chrono::milliseconds(100);

double Since(std::chrono::steady_clock::time_point start,
             std::chrono::steady_clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

void SipCall::OnRtp(const struct rtp_header* header, struct mbuf* mb) {
  std::optional<Media> media;
  {
    MutexLock lock(mutex_);
    media = media_;
  }
  if (!media) return;
  if (media->event_pt >= 0 && header->pt == media->event_pt) {
    int event = 0;
    bool end = false;
    if (telev_recv(telev_, mb, &event, &end) == 0 && !end) {
      const int digit = telev_code2digit(event);
      if (digit > 0) OnKey(static_cast<char>(digit), "as RFC 4733 event");
    }
    return;
  }
  if (header->pt != media->audio_pt) return;
  DecodeG711(media->codec, {mbuf_buf(mb), mbuf_get_left(mb)}, &decoded_);
  dtmf_dec_probe(dtmf_, decoded_.data(), decoded_.size());
  // Audio that did not come before this packet (a gap in its timestamps,
  // lost packets or a pause in sending) is heard as silence.
  std::size_t missing = 0;
  if (next_timestamp_) {
    const auto gap = static_cast<std::int32_t>(header->ts - *next_timestamp_);
    if (gap > 0 && gap <= kMaxTimestampGap) missing = static_cast<std::size_t>(gap);
  }
  next_timestamp_ = header->ts + static_cast<std::uint32_t>(decoded_.size());
  MutexLock lock(mutex_);
  if (greeting_over_ && !following_) return;
  const auto filled = static_cast<std::size_t>(filled_ * kSampleRate);
  if (missing > filled) Hear(std::vector<std::int16_t>(missing - filled));
  filled_ = 0;
  heard_at_ = Clock::now();
  Hear(decoded_);
}

void SipCall::Hear(std::span<const std::int16_t> samples) {
  const bool decided = detector_.decision().has_value();
  const bool over = detector_.GreetingOver();
  detector_.Feed(samples);
  if (following_ && over && !detector_.GreetingOver() && !interrupted_) {
    // The machine speaks again: the message stops with the next packet.
    interrupted_ = detector_.resumed().value_or(detector_.seconds());
    MutexLock send(send_mutex_);
    queued_.clear();
    queued_part_ = 0;
    queued_at_ = 0;
    drained_.notify_all();
  }
  if (decided != detector_.decision().has_value() || over != detector_.GreetingOver() ||
      interrupted_) {
    changed_.notify_all();
  }
}

void SipCall::OnKey(char key, const char* how) {
  MutexLock lock(mutex_);
  if (state_ != State::kAnswered) return;
  // A key during the greeting marks a person, and is acted on once the
  // message has played, as every key pressed while it plays.
  if (!greeting_over_) detector_.KeyPressed(std::string(1, key));
  keys_.emplace_back(1, key);
  char at[32];
  std::snprintf(at, sizeof at, " at %.1f s", Since(*answered_at_, Clock::now()));
  notes_.push_back(std::string("Key ") + key + " heard " + how + at);
  changed_.notify_all();
}

void SipCall::StartSending() {
  {
    MutexLock lock(mutex_);
    if (state_ != State::kAnswered) return;
    stream_ = RtpStream{};
    stream_.source = this;
    stream_.hot = &send_mutex_;
    stream_.fd = rtp_fd_;
    std::memcpy(&stream_.remote, &remote_->u, remote_->len);
    stream_.remote_length = remote_->len;
    stream_.payload_type = static_cast<std::uint8_t>(media_->audio_pt);
    stream_.ssrc = rtp_ssrc_;
    stream_.sequence = rand_u16();
    stream_.timestamp = rand_u32();
    MutexLock send(send_mutex_);
    send_codec_ = media_->codec;
    talking_ = false;
  }
  stack_.media_clock().Add(&stream_);
  sending_ = true;
}

bool SipCall::NextFrame(std::span<std::uint8_t, kFrameSamples> frame, bool* marker) {
  MutexLock lock(send_mutex_);
  if (send_ended_) return false;
  const Codec codec = send_codec_;
  const std::size_t take = TakeFrame(queued_, &queued_part_, &queued_at_, frame);
  std::memset(frame.data() + take, SilenceByte(codec), kFrameSamples - take);
  *marker = take > 0 && !talking_;
  talking_ = take > 0;
  if (take > 0 && Audible(codec, frame.first(take))) {
    sound_until_ = Clock::now() + kPacketInterval;
  }
  if (take > 0 && queued_part_ == queued_.size()) {
    queued_.clear();
    queued_part_ = 0;
    queued_at_ = 0;
    drained_.notify_all();
  }
  return true;
}

// Over once decided, but a machine that is left a message is waited for
// until its greeting or its beep is over.
bool SipCall::GreetingWaitOver() const {
  const auto& decision = detector_.decision();
  if (!decision) return false;
  return decision->who != AnsweredBy::kMachine ||
         detection_.machine != MachineAction::kLeaveMessage || detector_.GreetingOver();
}

GreetingEnd SipCall::AwaitGreetingEnd(double max_seconds) {
  MutexLock lock(mutex_);
  greeting_over_ = false;
  following_ = false;
  const Clock::time_point deadline = answered_at_.value_or(Clock::now()) + ToDuration(max_seconds);
  while (!GreetingWaitOver() && state_ == State::kAnswered && Clock::now() < deadline) {
    // A callee who sends nothing is heard as silence, by the clock: once
    // nothing has come for a while, the time since is filled in.
    const double quiet = Since(heard_at_, Clock::now()) - kQuietBeforeFilling;
    const auto fill = static_cast<std::size_t>((quiet - filled_) * kSampleRate);
    if (quiet > filled_ && fill >= std::size_t{kFrameSamples}) {
      Hear(std::vector<std::int16_t>(fill));
      filled_ += double(fill) / kSampleRate;
      continue;
    }
    changed_.wait_until(lock.native(), std::min(deadline, Clock::now() + kClockStep));
  }
  greeting_over_ = true;
  GreetingEnd end;
  end.over = GreetingWaitOver();
  end.answered_by = detector_.Result();
  const bool machine = end.answered_by && end.answered_by->who == AnsweredBy::kMachine;
  end.hang_up = machine && detection_.machine == MachineAction::kHangUpAndRetry;
  end.leaving_message = machine && detection_.machine == MachineAction::kLeaveMessage;
  if (end.leaving_message && end.over) {
    end.after = detector_.GreetingEnd();
    // Heard on while the message plays, up to the greeting's limit.
    following_ = Clock::now() < deadline;
  }
  return end;
}

double SipCall::Play(const std::vector<MessagePart>& parts, std::vector<std::string>* unplayed) {
  Codec codec = Codec::kPcmu;
  {
    MutexLock lock(mutex_);
    if (media_) codec = media_->codec;
  }
  std::vector<PartAudio> audio;
  std::size_t bytes = 0;
  for (const MessagePart& part : parts) {
    std::string error;
    if (part.type != "File") {
      error = "not rendered into a wav file";
    } else if (!IsPlainName(part.content)) {
      error = "not a plain file name";
    } else if (PartAudio loaded = SharedPartAudio(wav_dir_ + part.content, codec, &error)) {
      bytes += loaded->size();
      if (!loaded->empty()) audio.push_back(std::move(loaded));
      continue;
    }
    unplayed->push_back(part.content + " (" + error + ")");
  }
  const double length = double(bytes) / kSampleRate;
  {
    MutexLock lock(mutex_);
    if (audio.empty() || state_ != State::kAnswered || interrupted_) return length;
    MutexLock send(send_mutex_);
    queued_ = std::move(audio);
    queued_part_ = 0;
    queued_at_ = 0;
  }
  {
    MutexLock send(send_mutex_);
    while (!queued_.empty() && !send_ended_) drained_.wait(send.native());
  }
  MutexLock lock(mutex_);
  // Played whole: the greeting is behind it for good.
  if (!interrupted_) following_ = false;
  return length;
}

std::optional<double> SipCall::TakeInterruption() {
  MutexLock lock(mutex_);
  std::optional<double> interrupted;
  interrupted.swap(interrupted_);
  return interrupted;
}

std::optional<std::string> SipCall::AwaitKey(double timeout_seconds) {
  MutexLock lock(mutex_);
  const Clock::time_point deadline = Clock::now() + ToDuration(timeout_seconds);
  while (keys_.empty() && state_ == State::kAnswered &&
         changed_.wait_until(lock.native(), deadline) == std::cv_status::no_timeout) {
  }
  if (keys_.empty() || state_ != State::kAnswered) return std::nullopt;
  std::string key = keys_.front();
  keys_.pop_front();
  return key;
}

}  // namespace ringwell::host::sip
