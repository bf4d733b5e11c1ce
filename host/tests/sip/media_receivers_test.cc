// The media receivers against RTP sent to calls' sockets on 127.0.0.1: every
// call gets its own packets, decoded (also with CSRCs and a header
// extension before the payload), what is not RTP is dropped, and a call
// that was removed gets nothing more: its packets stay unread.
// clang-format off
#include <cstdint>  // first: libre's headers need the integer types
// clang-format on
#include "media_receivers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <re.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ringwell::host::sip {
namespace {

using Clock = std::chrono::steady_clock;

struct Packet {
  int payload_type;
  std::uint16_t sequence;
  std::uint32_t timestamp;
  std::vector<std::uint8_t> payload;
};

class Collector : public RtpSink {
 public:
  void OnRtp(const struct rtp_header* header, struct mbuf* mb) override {
    std::lock_guard lock(mutex_);
    packets_.push_back({header->pt, header->seq, header->ts,
                        std::vector<std::uint8_t>(mbuf_buf(mb), mbuf_buf(mb) + mbuf_get_left(mb))});
  }
  std::vector<Packet> packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }

 private:
  std::mutex mutex_;
  std::vector<Packet> packets_;
};

int BoundAt(sockaddr_in* address) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  *address = {};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(address), sizeof *address), 0);
  socklen_t length = sizeof *address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(address), &length);
  return fd;
}

// An RTP packet: `csrcs` contributing sources, an extension of `words`
// 32-bit words when `words` > 0, then `payload` bytes of `fill`.
std::vector<std::uint8_t> Rtp(int pt, std::uint16_t sequence, std::uint32_t timestamp, int csrcs,
                              int words, std::size_t payload, std::uint8_t fill) {
  std::vector<std::uint8_t> p = {static_cast<std::uint8_t>(0x80 | (words > 0 ? 0x10 : 0) | csrcs),
                                 static_cast<std::uint8_t>(pt),
                                 static_cast<std::uint8_t>(sequence >> 8),
                                 static_cast<std::uint8_t>(sequence),
                                 static_cast<std::uint8_t>(timestamp >> 24),
                                 static_cast<std::uint8_t>(timestamp >> 16),
                                 static_cast<std::uint8_t>(timestamp >> 8),
                                 static_cast<std::uint8_t>(timestamp),
                                 1,
                                 2,
                                 3,
                                 4};
  p.insert(p.end(), static_cast<std::size_t>(4 * csrcs), 0x77);
  if (words > 0) {
    p.insert(p.end(), {0xbe, 0xde, 0, static_cast<std::uint8_t>(words)});
    p.insert(p.end(), static_cast<std::size_t>(4 * words), 0x66);
  }
  p.insert(p.end(), payload, fill);
  return p;
}

class MediaReceiversTest : public ::testing::Test {
 protected:
  struct Call {
    int fd = -1;
    sockaddr_in address{};
    Collector collector;
    MediaReceivers::Registration registration;
  };

  void SetUp() override { sender_ = BoundAt(&sender_address_); }
  void TearDown() override {
    for (auto& call : calls_) ::close(call->fd);
    ::close(sender_);
  }

  Call& NewCall() {
    auto call = std::make_unique<Call>();
    call->fd = BoundAt(&call->address);
    call->registration.fd = call->fd;
    call->registration.sink = &call->collector;
    calls_.push_back(std::move(call));
    return *calls_.back();
  }

  void Send(const Call& call, const std::vector<std::uint8_t>& packet) {
    ASSERT_EQ(::sendto(sender_, packet.data(), packet.size(), 0,
                       reinterpret_cast<const sockaddr*>(&call.address), sizeof call.address),
              static_cast<ssize_t>(packet.size()));
  }

  // Waits (at most 30 s) until `call` has received `count` packets.
  static bool Await(Call& call, std::size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (call.collector.packets().size() < count) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  int sender_ = -1;
  sockaddr_in sender_address_{};
  std::vector<std::unique_ptr<Call>> calls_;
};

TEST_F(MediaReceiversTest, EveryCallGetsItsOwnPacketsDecoded) {
  MediaReceivers receivers(2);
  constexpr int kCalls = 12;
  for (int i = 0; i < kCalls; ++i) ASSERT_TRUE(receivers.Add(&NewCall().registration));
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < kCalls; ++i) {
      const auto n = static_cast<std::uint8_t>(i);
      // Not RTP: too short, and of another version; both are dropped.
      Send(*calls_[n], {0x80, 0, 1});
      Send(*calls_[n], std::vector<std::uint8_t>(40, 0x40));
      Send(*calls_[n], Rtp(i % 2 == 0 ? 0 : 101, static_cast<std::uint16_t>(round),
                           160u * static_cast<std::uint32_t>(round), round % 3, round % 2, 160, n));
    }
  }
  for (int i = 0; i < kCalls; ++i) {
    SCOPED_TRACE("call " + std::to_string(i));
    Call& call = *calls_[static_cast<std::size_t>(i)];
    ASSERT_TRUE(Await(call, 5));
    const auto packets = call.collector.packets();
    ASSERT_EQ(packets.size(), 5u);
    for (int round = 0; round < 5; ++round) {
      const Packet& p = packets[static_cast<std::size_t>(round)];
      EXPECT_EQ(p.payload_type, i % 2 == 0 ? 0 : 101);
      EXPECT_EQ(p.sequence, round);
      EXPECT_EQ(p.timestamp, 160u * static_cast<std::uint32_t>(round));
      EXPECT_EQ(p.payload, std::vector<std::uint8_t>(160, static_cast<std::uint8_t>(i)));
    }
  }
  for (auto& call : calls_) receivers.Remove(&call->registration);
}

TEST_F(MediaReceiversTest, ARemovedCallIsNotReadAnyMore) {
  MediaReceivers receivers(1);
  Call& gone = NewCall();
  Call& staying = NewCall();
  ASSERT_TRUE(receivers.Add(&gone.registration));
  ASSERT_TRUE(receivers.Add(&staying.registration));
  Send(gone, Rtp(0, 1, 0, 0, 0, 160, 1));
  ASSERT_TRUE(Await(gone, 1));
  receivers.Remove(&gone.registration);
  Send(gone, Rtp(0, 2, 160, 0, 0, 160, 2));
  Send(staying, Rtp(0, 1, 0, 0, 0, 160, 3));
  ASSERT_TRUE(Await(staying, 1));
  EXPECT_EQ(gone.collector.packets().size(), 1u);
  // The packet sent after Remove is still in the socket: nobody read it.
  std::uint8_t left[256];
  EXPECT_EQ(::recv(gone.fd, left, sizeof left, MSG_DONTWAIT), 172);
  EXPECT_EQ(left[3], 2);
  receivers.Remove(&staying.registration);
}

}  // namespace
}  // namespace ringwell::host::sip
