// The media clock against a UDP socket on 127.0.0.1 that reads every packet:
// what a callee receives from many calls sent by a few senders (each call's
// packets from its own socket, in order, with RTP headers that step as a
// stream's must), and that a removed call sends nothing more.
#include "media_clock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace ringwell::host::sip {
namespace {

using Clock = std::chrono::steady_clock;

int Bound(std::uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

// A call's audio: every byte of a frame is the call's number; the first
// frame begins a talkspurt. Says the call is over when `over` is set.
class NumberedSource : public FrameSource {
 public:
  explicit NumberedSource(std::uint8_t number) : number_(number) {}
  bool NextFrame(std::span<std::uint8_t, kFrameSamples> payload, bool* marker) override {
    if (over) return false;
    std::memset(payload.data(), number_, payload.size());
    *marker = frames.fetch_add(1) == 0;
    return true;
  }
  std::atomic<int> frames{0};
  std::atomic<bool> over{false};

 private:
  const std::uint8_t number_;
};

struct Received {
  std::vector<std::uint16_t> sequences;
  std::vector<std::uint32_t> timestamps;
  std::vector<bool> markers;
  std::uint32_t ssrc = 0;
  int payload_type = -1;
  int bad = 0;  // packets whose size or audio were not the call's
};

class MediaClockTest : public ::testing::Test {
 protected:
  struct Call {
    std::unique_ptr<NumberedSource> source;
    RtpStream stream;
    std::uint16_t port = 0;
  };

  void SetUp() override { sink_ = Bound(&sink_port_); }
  void TearDown() override {
    for (auto& call : calls_) ::close(call->stream.fd);
    ::close(sink_);
  }

  Call& NewCall(std::uint16_t first_sequence = 0) {
    auto call = std::make_unique<Call>();
    const auto number = static_cast<std::uint8_t>(calls_.size() + 1);
    call->source = std::make_unique<NumberedSource>(number);
    call->stream.source = call->source.get();
    call->stream.fd = Bound(&call->port);
    sockaddr_in sink{};
    sink.sin_family = AF_INET;
    sink.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sink.sin_port = htons(sink_port_);
    std::memcpy(&call->stream.remote, &sink, sizeof sink);
    call->stream.remote_length = sizeof sink;
    call->stream.payload_type = number % 2 == 0 ? 0 : 8;
    call->stream.ssrc = 0x1000u + number;
    call->stream.sequence = first_sequence;
    call->stream.timestamp = 0xffffff00u;  // wraps after two packets
    by_port_[call->port] = number;
    calls_.push_back(std::move(call));
    return *calls_.back();
  }

  // Reads packets until `enough` holds for what came, at most 60 s.
  template <typename Enough>
  bool ReceiveUntil(Enough enough) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!enough()) {
      if (Clock::now() > deadline) return false;
      pollfd watch{sink_, POLLIN, 0};
      if (::poll(&watch, 1, 100) <= 0) continue;
      std::uint8_t packet[2048];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t got =
          ::recvfrom(sink_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (got < 12) continue;
      const auto found = by_port_.find(ntohs(from.sin_port));
      EXPECT_NE(found, by_port_.end()) << "a packet from a port no call has";
      if (found == by_port_.end()) continue;
      Received& r = received_[found->second];
      if (got != 12 + kFrameSamples || packet[0] != 0x80 || packet[12] != found->second ||
          packet[12 + kFrameSamples - 1] != found->second) {
        ++r.bad;
      }
      r.markers.push_back((packet[1] & 0x80) != 0);
      r.payload_type = packet[1] & 0x7f;
      r.sequences.push_back(static_cast<std::uint16_t>(packet[2] << 8 | packet[3]));
      r.timestamps.push_back(std::uint32_t{packet[4]} << 24 | std::uint32_t{packet[5]} << 16 |
                             std::uint32_t{packet[6]} << 8 | packet[7]);
      r.ssrc = std::uint32_t{packet[8]} << 24 | std::uint32_t{packet[9]} << 16 |
               std::uint32_t{packet[10]} << 8 | packet[11];
    }
    return true;
  }

  std::size_t Count(std::uint8_t number) { return received_[number].sequences.size(); }

  int sink_ = -1;
  std::uint16_t sink_port_ = 0;
  std::vector<std::unique_ptr<Call>> calls_;
  std::map<std::uint16_t, std::uint8_t> by_port_;
  std::map<std::uint8_t, Received> received_;
};

TEST_F(MediaClockTest, EveryCallSendsItsOwnStreamFromItsOwnSocket) {
  MediaClock clock(2);
  constexpr int kCalls = 40;
  for (int i = 0; i < kCalls; ++i) clock.Add(&NewCall(i == 0 ? 65534 : 100 * i).stream);
  EXPECT_EQ(clock.streams(), std::size_t{kCalls});
  bool enough = false;
  EXPECT_TRUE(ReceiveUntil([&] {
    if (enough) return true;
    for (int number = 1; number <= kCalls; ++number) {
      if (Count(static_cast<std::uint8_t>(number)) < 8) return false;
    }
    return enough = true;
  }));
  for (auto& call : calls_) clock.Remove(&call->stream);
  EXPECT_EQ(clock.streams(), 0u);

  for (int number = 1; number <= kCalls; ++number) {
    SCOPED_TRACE("call " + std::to_string(number));
    const Received& r = received_[static_cast<std::uint8_t>(number)];
    EXPECT_EQ(r.bad, 0);
    EXPECT_EQ(r.ssrc, 0x1000u + number);
    EXPECT_EQ(r.payload_type, number % 2 == 0 ? 0 : 8);
    ASSERT_GE(r.sequences.size(), 8u);
    // Loopback keeps the order: each packet follows the one before, also
    // across the wrap of the sequence number and of the timestamp.
    EXPECT_EQ(r.sequences[0], number == 1 ? 65534 : 100 * (number - 1));
    EXPECT_EQ(r.timestamps[0], 0xffffff00u);
    EXPECT_TRUE(r.markers[0]);
    for (std::size_t i = 1; i < r.sequences.size(); ++i) {
      EXPECT_EQ(r.sequences[i], static_cast<std::uint16_t>(r.sequences[i - 1] + 1));
      EXPECT_EQ(r.timestamps[i], r.timestamps[i - 1] + kFrameSamples);
      EXPECT_FALSE(r.markers[i]);
    }
  }
}

TEST_F(MediaClockTest, ARemovedOrEndedCallSendsNothingMore) {
  MediaClock clock(2);
  std::vector<Call*> calls;
  for (int i = 0; i < 6; ++i) {
    calls.push_back(&NewCall());
    clock.Add(&calls.back()->stream);
  }
  // Calls 1 and 2 go, call 3 says it has ended; 4 to 6 go on.
  ASSERT_TRUE(ReceiveUntil([&] { return Count(1) >= 3 && Count(2) >= 3; }));
  clock.Remove(&calls[0]->stream);
  clock.Remove(&calls[1]->stream);
  calls[2]->source->over = true;
  const int asked[2] = {calls[0]->source->frames.load(), calls[1]->source->frames.load()};
  // Once the others have sent 10 more packets each, every packet the calls
  // that left sent is here (loopback keeps the order), and no more came.
  std::size_t others = Count(4) + 10;
  ASSERT_TRUE(ReceiveUntil([&] { return Count(4) >= others && Count(6) >= others; }));
  const int ended = calls[2]->source->frames.load();
  others = Count(5) + 10;
  ASSERT_TRUE(ReceiveUntil([&] { return Count(5) >= others; }));
  EXPECT_EQ(calls[0]->source->frames.load(), asked[0]);
  EXPECT_EQ(calls[1]->source->frames.load(), asked[1]);
  EXPECT_EQ(Count(1), static_cast<std::size_t>(asked[0]));
  EXPECT_EQ(Count(2), static_cast<std::size_t>(asked[1]));
  EXPECT_EQ(calls[2]->source->frames.load(), ended);
  EXPECT_EQ(Count(3), static_cast<std::size_t>(ended));
  for (int i = 2; i < 6; ++i) clock.Remove(&calls[static_cast<std::size_t>(i)]->stream);
  EXPECT_EQ(clock.streams(), 0u);
  // A call added to a clock gone idle is sent again.
  Call& again = NewCall();
  clock.Add(&again.stream);
  ASSERT_TRUE(ReceiveUntil([&] { return Count(7) >= 3; }));
  clock.Remove(&again.stream);
}

}  // namespace
}  // namespace ringwell::host::sip
