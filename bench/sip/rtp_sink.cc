// An RTP sink for the benchmarks: takes every packet sent to one UDP port on
// 127.0.0.1 with the kernel's arrival time, follows each sender (address,
// port and SSRC) as a stream, and at SIGTERM prints the intervals between
// consecutive packets of a stream over all streams: count, p50, p99, p99.9,
// max (ms), as one line of JSON. A pause of more than a second in a stream
// (its port taken by a later call) starts it again. It reads every 5 ms
// without waiting on the socket, so that senders on the same machine do not
// pay for waking it.
//
//   bench_rtp_sink PORT_FILE   writes the port it listens on to PORT_FILE
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

volatile sig_atomic_t stopping = 0;

struct Stream {
  std::uint32_t ssrc = 0;
  double last = 0;  // arrival of the last packet, s
};

constexpr std::size_t kBatch = 64;
constexpr double kBucket = 1e-5;          // 10 us
constexpr std::size_t kBuckets = 100000;  // up to 1 s

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_rtp_sink PORT_FILE\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = [](int) { stopping = 1; };
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  int buffer = 16 << 20;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("bench_rtp_sink");
    return 1;
  }
  if (FILE* out = std::fopen(argv[1], "w")) {
    std::fprintf(out, "%u\n", ntohs(address.sin_port));
    std::fclose(out);
  }

  std::unordered_map<std::uint64_t, Stream> streams;
  std::vector<std::uint64_t> histogram(kBuckets + 1);
  std::uint64_t packets = 0;
  std::array<std::array<std::uint8_t, 256>, kBatch> data;
  std::array<std::array<char, 64>, kBatch> control;
  std::array<sockaddr_in, kBatch> from;
  std::array<iovec, kBatch> vectors;
  std::array<mmsghdr, kBatch> messages;
  while (!stopping) {
    for (std::size_t i = 0; i < kBatch; ++i) {
      vectors[i] = {data[i].data(), data[i].size()};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_name = &from[i];
      messages[i].msg_hdr.msg_namelen = sizeof from[i];
      messages[i].msg_hdr.msg_control = control[i].data();
      messages[i].msg_hdr.msg_controllen = control[i].size();
    }
    // Read without waiting on the socket, and pause between reads: the
    // senders then never have to wake this process (on loopback that wake-up
    // is charged to the sender), and the arrival times are the kernel's.
    const int got = ::recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (got < static_cast<int>(kBatch)) {
      const timespec pause{0, 5'000'000};
      nanosleep(&pause, nullptr);
    }
    for (int i = 0; i < got; ++i) {
      if (messages[i].msg_len < 12) continue;
      double when = 0;
      for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c;
           c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
          timespec at;
          std::memcpy(&at, CMSG_DATA(c), sizeof at);
          when = double(at.tv_sec) + double(at.tv_nsec) * 1e-9;
        }
      }
      const std::uint8_t* p = data[i].data();
      const std::uint32_t ssrc =
          std::uint32_t{p[8]} << 24 | std::uint32_t{p[9]} << 16 | std::uint32_t{p[10]} << 8 | p[11];
      const std::uint64_t key =
          std::uint64_t{from[i].sin_addr.s_addr} << 16 | ntohs(from[i].sin_port);
      Stream& stream = streams[key];
      ++packets;
      if (stream.ssrc == ssrc && stream.last > 0 && when - stream.last < 1.0) {
        const auto bucket = static_cast<std::size_t>((when - stream.last) / kBucket);
        ++histogram[std::min(bucket, kBuckets)];
      }
      stream.ssrc = ssrc;
      stream.last = when;
    }
  }
  std::uint64_t intervals = 0;
  for (std::uint64_t n : histogram) intervals += n;
  auto percentile = [&](double q) {
    const auto wanted = static_cast<std::uint64_t>(q * double(intervals));
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < histogram.size(); ++b) {
      seen += histogram[b];
      if (seen > wanted) return double(b) * kBucket * 1000;
    }
    return 0.0;
  };
  double max = 0;
  for (std::size_t b = histogram.size(); b-- > 0;) {
    if (histogram[b] != 0) {
      max = double(b + 1) * kBucket * 1000;
      break;
    }
  }
  std::printf(
      "{\"packets\": %llu, \"streams\": %zu, \"intervals\": %llu, \"p50\": %.3f, \"p99\": %.3f, "
      "\"p999\": %.3f, \"max\": %.3f}\n",
      static_cast<unsigned long long>(packets), streams.size(),
      static_cast<unsigned long long>(intervals), percentile(0.5), percentile(0.99),
      percentile(0.999), max);
  return 0;
}
