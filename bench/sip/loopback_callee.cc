#include "loopback_callee.h"

#include <netinet/in.h>
#include <poll.h>
#include <re.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ringwell::bench {
namespace {

struct Callee {
  struct sip* sip = nullptr;
  struct sipsess_sock* sock = nullptr;
  struct sa local;
  int report_fd = -1;
};

struct Session {
  Callee* callee = nullptr;
  struct sipsess* sess = nullptr;
  struct sdp_session* sdp = nullptr;
  int fd = -1;
  std::vector<double> arrivals;  // seconds
};

PacketTiming Timing(std::vector<double> arrivals) {
  PacketTiming timing;
  timing.packets = static_cast<long>(arrivals.size());
  if (arrivals.size() < 3) return timing;
  std::vector<double> intervals;
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    intervals.push_back((arrivals[i] - arrivals[i - 1]) * 1000);
  }
  timing.drift_ms = (arrivals.back() - arrivals.front()) * 1000 - 20.0 * double(intervals.size());
  std::sort(intervals.begin(), intervals.end());
  timing.p50_ms = intervals[intervals.size() / 2];
  timing.p99_ms = intervals[intervals.size() * 99 / 100];
  timing.max_ms = intervals.back();
  return timing;
}

void Receive(int flags, void* arg) {
  auto* session = static_cast<Session*>(arg);
  if (!(flags & FD_READ)) return;
  for (;;) {
    char data[2048];
    char control[256];
    iovec vector{data, sizeof data};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(session->fd, &message, MSG_DONTWAIT) < 0) return;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
        timespec when;
        std::memcpy(&when, CMSG_DATA(c), sizeof when);
        session->arrivals.push_back(double(when.tv_sec) + double(when.tv_nsec) * 1e-9);
      }
    }
  }
}

void Closed(int, const struct sip_msg*, void* arg) {
  auto* session = static_cast<Session*>(arg);
  const PacketTiming t = Timing(session->arrivals);
  char line[256];
  const int n = std::snprintf(line, sizeof line, "%ld %f %f %f %f\n", t.packets, t.p50_ms, t.p99_ms,
                              t.max_ms, t.drift_ms);
  (void)!::write(session->callee->report_fd, line, static_cast<std::size_t>(n));
  fd_close(session->fd);
  ::close(session->fd);
  mem_deref(session->sess);
  mem_deref(session->sdp);
  delete session;
}

void Incoming(const struct sip_msg* msg, void* arg) {
  auto* callee = static_cast<Callee*>(arg);
  auto* session = new Session;
  session->callee = callee;
  session->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(session->fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(session->fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(session->fd, reinterpret_cast<sockaddr*>(&address), &length);
  struct sdp_media* media = nullptr;
  struct mbuf* answer = nullptr;
  sdp_session_alloc(&session->sdp, &callee->local);
  sdp_media_add(&media, session->sdp, sdp_media_audio, ntohs(address.sin_port), sdp_proto_rtpavp);
  sdp_format_add(nullptr, media, false, "0", "PCMU", 8000, 1, nullptr, nullptr, nullptr, false,
                 nullptr);
  sdp_decode(session->sdp, msg->mb, true);
  sdp_encode(&answer, session->sdp, false);
  fd_listen(session->fd, FD_READ, Receive, session);
  sipsess_accept(
      &session->sess, callee->sock, msg, 200, "OK", "callee", "application/sdp", answer, nullptr,
      nullptr, false, [](struct mbuf**, const struct sip_msg*, void*) { return ENOSYS; },
      [](const struct sip_msg*, void*) { return 0; }, [](const struct sip_msg*, void*) {}, nullptr,
      nullptr, Closed, session, nullptr);
  mem_deref(answer);
}

[[noreturn]] void RunChild(int to_parent) {
  Callee callee;
  callee.report_fd = to_parent;
  libre_init();
  fd_setsize(16384);  // a socket per call, thousands of calls
  sa_set_str(&callee.local, "127.0.0.1", 0);
  sip_alloc(&callee.sip, nullptr, 32, 32, 32, "bench callee", nullptr, nullptr);
  sip_transp_add(callee.sip, SIP_TRANSP_UDP, &callee.local);
  struct sa bound;
  sip_transp_laddr(callee.sip, &bound, SIP_TRANSP_UDP, nullptr);
  sipsess_listen(&callee.sock, callee.sip, 64, Incoming, &callee);
  char line[32];
  const int n = std::snprintf(line, sizeof line, "%u\n", sa_port(&bound));
  (void)!::write(to_parent, line, static_cast<std::size_t>(n));
  re_main(nullptr);
  ::_exit(0);
}

}  // namespace

LoopbackCallee::LoopbackCallee() {
  int fds[2];
  if (::pipe(fds) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(fds[0]);
    ::signal(SIGTERM, SIG_DFL);
    RunChild(fds[1]);
  }
  ::close(fds[1]);
  from_child_ = fds[0];
  char buffer[32] = {};
  if (::read(from_child_, buffer, sizeof buffer - 1) > 0) port_ = std::atoi(buffer);
}

LoopbackCallee::~LoopbackCallee() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  if (from_child_ >= 0) ::close(from_child_);
}

std::optional<PacketTiming> LoopbackCallee::NextCall(double seconds) {
  for (;;) {
    if (const auto end = pending_.find('\n'); end != std::string::npos) {
      PacketTiming t;
      std::sscanf(pending_.c_str(), "%ld %lf %lf %lf %lf", &t.packets, &t.p50_ms, &t.p99_ms,
                  &t.max_ms, &t.drift_ms);
      pending_.erase(0, end + 1);
      return t;
    }
    pollfd watch{from_child_, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(seconds * 1000)) <= 0) return std::nullopt;
    char buffer[512];
    const ssize_t got = ::read(from_child_, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace ringwell::bench
