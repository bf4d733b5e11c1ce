#include "media_clock.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <thread>

#include "realtime_priority.h"

namespace ringwell::host::sip {
namespace {

using std::chrono::nanoseconds;

// One RTP packet carries kFrameSamples samples: a stream's packets are due
// every 20 ms, in one of kSlots sub-ticks.
constexpr nanoseconds kPacketInterval{1'000'000'000LL * kFrameSamples / kSampleRate};
constexpr nanoseconds kSubTick = kPacketInterval / MediaClock::kSlots;
constexpr std::size_t kRtpHeaderSize = 12;
// The real-time priority the senders ask for.
constexpr int kSenderPriority = 10;
// At most this many sender threads, whatever the processors.
constexpr unsigned kMaxSenders = 8;

nanoseconds MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::chrono::seconds(now.tv_sec) + nanoseconds(now.tv_nsec);
}

void SleepUntil(nanoseconds when) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when);
  const timespec wake{static_cast<time_t>(seconds.count()),
                      static_cast<long>((when - seconds).count())};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
  }
}

void PutBigEndian(std::uint8_t* at, std::uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    at[i] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
}

}  // namespace

// One sender thread and the streams it owns. Add and Remove hand changes
// over under mutex_; the thread takes them at the start of a sub-tick and
// sends without the lock, from its own lists.
class MediaClock::Sender {
 public:
  Sender() : thread_([this] { Run(); }) {}
  ~Sender() {
    {
      MutexLock lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    thread_.join();
  }

  std::size_t count() const { return count_.load(std::memory_order_relaxed); }

  void Add(RtpStream* stream) RINGWELL_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    added_.push_back(stream);
    count_.fetch_add(1, std::memory_order_relaxed);
    changed_.notify_all();
  }

  void Remove(RtpStream* stream) RINGWELL_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    count_.fetch_sub(1, std::memory_order_relaxed);
    if (const auto at = std::find(added_.begin(), added_.end(), stream); at != added_.end()) {
      added_.erase(at);  // never sent
      return;
    }
    removed_.push_back(stream);
    changed_.notify_all();
    // Taken out by the next pass, which ends with done_ at least this.
    const std::uint64_t pass = applied_ + 1;
    while (done_ < pass) changed_.wait(lock.native());
  }

 private:
  void Run() RINGWELL_EXCLUDES(mutex_) {
    bool asked = false;    // for the real-time priority
    bool running = false;  // the schedule below runs
    std::int64_t tick = 0;
    nanoseconds epoch{0};
    for (;;) {
      std::uint64_t pass = 0;
      {
        MutexLock lock(mutex_);
        while (!stopping_ && !running && added_.empty() && removed_.empty()) {
          changed_.wait(lock.native());
        }
        if (stopping_) return;
        if (!running) tick = 0;
        Apply(static_cast<int>(tick % kSlots));
        pass = ++applied_;
      }
      const bool any =
          std::any_of(slots_.begin(), slots_.end(), [](const auto& slot) { return !slot.empty(); });
      if (any && !running) {
        if (!asked) AskForRealtimePriority(kSenderPriority);
        asked = true;
        running = true;
        epoch = MonotonicNow();
      }
      if (any) Send(slots_[static_cast<std::size_t>(tick % kSlots)]);
      {
        MutexLock lock(mutex_);
        done_ = pass;
        changed_.notify_all();
      }
      if (!any) {
        running = false;
        continue;
      }
      ++tick;
      SleepUntil(epoch + tick * kSubTick);
    }
  }

  // Takes the streams removed out of their sub-ticks, and puts those added
  // into the least loaded sub-tick, the soonest of equals (`current` is the
  // one about to be sent).
  void Apply(int current) RINGWELL_REQUIRES(mutex_) {
    for (RtpStream* stream : removed_) {
      auto& slot = slots_[static_cast<std::size_t>(stream->slot)];
      slot.erase(std::remove(slot.begin(), slot.end(), stream), slot.end());
    }
    removed_.clear();
    for (RtpStream* stream : added_) {
      int best = current;
      for (int i = 1; i < kSlots; ++i) {
        const int slot = (current + i) % kSlots;
        if (slots_[static_cast<std::size_t>(slot)].size() <
            slots_[static_cast<std::size_t>(best)].size()) {
          best = slot;
        }
      }
      stream->slot = best;
      slots_[static_cast<std::size_t>(best)].push_back(stream);
    }
    added_.clear();
  }

  // One packet of every stream in `streams`: first every packet is made
  // (the streams' audio read in one run, each next stream fetched ahead),
  // then every packet is sent, so the system calls follow one another.
  void Send(const std::vector<RtpStream*>& streams) {
    if (packets_.size() < streams.size()) packets_.resize(streams.size());
    std::size_t made = 0;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      if (i + 2 < streams.size()) __builtin_prefetch(streams[i + 2]);
      if (i + 1 < streams.size() && streams[i + 1]->hot != nullptr) {
        __builtin_prefetch(streams[i + 1]->hot);
      }
      RtpStream* stream = streams[i];
      Packet& packet = packets_[made];
      std::span<std::uint8_t, kFrameSamples> payload(packet.bytes.data() + kRtpHeaderSize,
                                                     kFrameSamples);
      bool marker = false;
      if (!stream->source->NextFrame(payload, &marker)) continue;
      packet.bytes[0] = 0x80;  // version 2, no padding, extension or CSRC
      packet.bytes[1] =
          static_cast<std::uint8_t>((marker ? 0x80 : 0) | (stream->payload_type & 0x7f));
      PutBigEndian(&packet.bytes[2], stream->sequence, 2);
      PutBigEndian(&packet.bytes[4], stream->timestamp, 4);
      PutBigEndian(&packet.bytes[8], stream->ssrc, 4);
      packet.stream = stream;
      ++stream->sequence;
      stream->timestamp += kFrameSamples;
      ++made;
    }
    for (std::size_t i = 0; i < made; ++i) {
      const RtpStream& stream = *packets_[i].stream;
      // A packet the socket cannot take now is lost, as on the network.
      (void)::sendto(stream.fd, packets_[i].bytes.data(), packets_[i].bytes.size(),
                     MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&stream.remote),
                     stream.remote_length);
    }
  }

  struct Packet {
    const RtpStream* stream = nullptr;
    std::array<std::uint8_t, kRtpHeaderSize + kFrameSamples> bytes{};
  };

  std::atomic<std::size_t> count_{0};  // streams added and not removed

  Mutex mutex_;
  std::condition_variable changed_;  // notified whenever a member below changes
  std::vector<RtpStream*> added_ RINGWELL_GUARDED_BY(mutex_);
  std::vector<RtpStream*> removed_ RINGWELL_GUARDED_BY(mutex_);
  std::uint64_t applied_ RINGWELL_GUARDED_BY(mutex_) = 0;  // passes that took the changes
  std::uint64_t done_ RINGWELL_GUARDED_BY(mutex_) = 0;     // passes over
  bool stopping_ RINGWELL_GUARDED_BY(mutex_) = false;

  // The sender thread's own.
  std::array<std::vector<RtpStream*>, kSlots> slots_;
  std::vector<Packet> packets_;  // this sub-tick's, made before any is sent

  std::jthread thread_;  // last: runs once the members above exist
};

MediaClock::MediaClock(int senders) {
  unsigned count =
      senders > 0 ? static_cast<unsigned>(senders) : std::thread::hardware_concurrency();
  count = std::clamp(count, 1u, kMaxSenders);
  for (unsigned i = 0; i < count; ++i) senders_.push_back(std::make_unique<Sender>());
}

MediaClock::~MediaClock() = default;

void MediaClock::Add(RtpStream* stream) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < senders_.size(); ++i) {
    if (senders_[i]->count() < senders_[best]->count()) best = i;
  }
  stream->sender = static_cast<int>(best);
  senders_[best]->Add(stream);
}

void MediaClock::Remove(RtpStream* stream) {
  if (stream->sender < 0) return;
  senders_[static_cast<std::size_t>(stream->sender)]->Remove(stream);
  stream->sender = -1;
}

std::size_t MediaClock::streams() const {
  std::size_t total = 0;
  for (const auto& sender : senders_) total += sender->count();
  return total;
}

}  // namespace ringwell::host::sip
