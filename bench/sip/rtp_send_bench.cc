// What one RTP packet costs the sender on loopback, by how the media clock
// could send a round of packets for many calls: each call's packet from the
// call's own socket (sendto on each; what ringwell-host does, so that every
// call sends from the port its session description names), or every call's
// packet from one shared socket in one sendmmsg to the callees' addresses.
// The callees are sockets that never read (the kernel drops what does not
// fit), one per call.
//
//   bench_rtp_send [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

int BoundSocket(sockaddr_in* address) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
  socklen_t length = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  if (address != nullptr) *address = bound;
  return fd;
}

struct Calls {
  explicit Calls(int count) {
    for (int i = 0; i < count; ++i) {
      sockaddr_in address{};
      callees.push_back(BoundSocket(&address));
      addresses.push_back(address);
      senders.push_back(BoundSocket(nullptr));
    }
  }
  ~Calls() {
    for (int fd : callees) ::close(fd);
    for (int fd : senders) ::close(fd);
  }
  std::vector<int> callees, senders;
  std::vector<sockaddr_in> addresses;
  std::array<std::uint8_t, 172> packet{0x80};
};

// A round: each call's packet from its own socket.
void BM_SocketPerCallSendto(benchmark::State& state) {
  Calls calls(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    for (std::size_t i = 0; i < calls.senders.size(); ++i) {
      ::sendto(calls.senders[i], calls.packet.data(), calls.packet.size(), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&calls.addresses[i]), sizeof(sockaddr_in));
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A round: every call's packet from one socket, in one sendmmsg.
void BM_SharedSocketSendmmsg(benchmark::State& state) {
  Calls calls(static_cast<int>(state.range(0)));
  const std::size_t count = calls.senders.size();
  std::vector<iovec> vectors(count);
  std::vector<mmsghdr> messages(count);
  for (std::size_t i = 0; i < count; ++i) {
    vectors[i] = {calls.packet.data(), calls.packet.size()};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &calls.addresses[i];
    messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
  }
  for (auto _ : state) {
    for (std::size_t at = 0; at < count; at += 1024) {
      const unsigned batch = static_cast<unsigned>(std::min<std::size_t>(count - at, 1024));
      ::sendmmsg(calls.senders[0], messages.data() + at, batch, MSG_DONTWAIT);
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_SocketPerCallSendto)->Arg(100)->Arg(500)->Arg(1000);
BENCHMARK(BM_SharedSocketSendmmsg)->Arg(100)->Arg(500)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
