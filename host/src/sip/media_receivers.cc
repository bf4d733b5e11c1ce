// clang-format off
#include <cstdint>  // first: libre's headers need the integer types
#include <cstddef>
// clang-format on
#include "media_receivers.h"

#include <re.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <thread>
#include <unordered_set>

#include "ringwell/common/thread_annotations.h"

namespace ringwell::host::sip {
namespace {

constexpr std::size_t kBatch = 32;       // datagrams a recvmmsg reads at most
constexpr std::size_t kDatagram = 2048;  // longer RTP packets are cut (and not read)
constexpr int kEvents = 64;              // sockets an epoll_wait reports at most
constexpr unsigned kMaxReceivers = 8;

}  // namespace

// One thread and its epoll set. What it dispatches is checked against the
// registrations it has, under mutex_, so a Remove that has returned is never
// followed by a call of the sink.
class MediaReceivers::Receiver {
 public:
  Receiver() : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    thread_ = std::jthread([this] { Run(); });
  }
  ~Receiver() {
    stopping_ = true;
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(wake_);
    ::close(epoll_);
  }

  std::size_t count() const { return count_.load(std::memory_order_relaxed); }

  bool Add(Registration* registration) RINGWELL_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = registration;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, registration->fd, &event) != 0) return false;
    live_.insert(registration);
    count_.fetch_add(1, std::memory_order_relaxed);
    return true;
  }

  void Remove(Registration* registration) RINGWELL_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (live_.erase(registration) == 0) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, registration->fd, nullptr);
    count_.fetch_sub(1, std::memory_order_relaxed);
  }

 private:
  void Run() RINGWELL_EXCLUDES(mutex_) {
    std::array<epoll_event, kEvents> events;
    while (!stopping_) {
      const int ready = ::epoll_wait(epoll_, events.data(), kEvents, -1);
      if (ready < 0) continue;  // EINTR
      MutexLock lock(mutex_);
      for (int i = 0; i < ready; ++i) {
        auto* registration =
            static_cast<Registration*>(events[static_cast<std::size_t>(i)].data.ptr);
        if (registration == nullptr || !live_.contains(registration)) continue;
        Drain(*registration);
      }
    }
  }

  // Reads what the socket holds and hands each RTP packet to the sink.
  void Drain(const Registration& registration) RINGWELL_REQUIRES(mutex_) {
    for (;;) {
      for (std::size_t i = 0; i < kBatch; ++i) {
        vectors_[i] = {data_[i].data(), data_[i].size()};
        messages_[i] = {};
        messages_[i].msg_hdr.msg_iov = &vectors_[i];
        messages_[i].msg_hdr.msg_iovlen = 1;
      }
      const int got = ::recvmmsg(registration.fd, messages_.data(), kBatch, MSG_DONTWAIT, nullptr);
      if (got <= 0) return;
      for (int i = 0; i < got; ++i) {
        const auto at = static_cast<std::size_t>(i);
        if (messages_[at].msg_hdr.msg_flags & MSG_TRUNC) continue;
        struct mbuf mb {};
        mb.buf = data_[at].data();
        mb.size = data_[at].size();
        mb.pos = 0;
        mb.end = messages_[at].msg_len;
        struct rtp_header header {};
        if (rtp_hdr_decode(&header, &mb) != 0 || header.ver != RTP_VERSION) continue;
        registration.sink->OnRtp(&header, &mb);
      }
      if (static_cast<std::size_t>(got) < kBatch) return;
    }
  }

  const int epoll_;
  const int wake_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> count_{0};
  Mutex mutex_;
  std::unordered_set<const Registration*> live_ RINGWELL_GUARDED_BY(mutex_);
  // The receiver thread's own.
  std::array<std::array<std::uint8_t, kDatagram>, kBatch> data_;
  std::array<iovec, kBatch> vectors_;
  std::array<mmsghdr, kBatch> messages_;
  std::jthread thread_;
};

MediaReceivers::MediaReceivers(int threads) {
  unsigned count =
      threads > 0 ? static_cast<unsigned>(threads) : std::thread::hardware_concurrency();
  count = std::clamp(count, 1u, kMaxReceivers);
  for (unsigned i = 0; i < count; ++i) receivers_.push_back(std::make_unique<Receiver>());
}

MediaReceivers::~MediaReceivers() = default;

bool MediaReceivers::Add(Registration* registration) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < receivers_.size(); ++i) {
    if (receivers_[i]->count() < receivers_[best]->count()) best = i;
  }
  if (!receivers_[best]->Add(registration)) return false;
  registration->receiver = static_cast<int>(best);
  return true;
}

void MediaReceivers::Remove(Registration* registration) {
  if (registration->receiver < 0) return;
  receivers_[static_cast<std::size_t>(registration->receiver)]->Remove(registration);
  registration->receiver = -1;
}

}  // namespace ringwell::host::sip
