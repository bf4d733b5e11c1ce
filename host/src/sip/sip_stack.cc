#include "sip_stack.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
// libre was built with OpenSSL; this declares its access to the context.
#define USE_OPENSSL 1
#include <re.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "open_files.h"
#include "sip_events.h"

namespace ringwell::host::sip {
namespace {

// The local address of a socket connected toward `host` (nothing is sent).
std::string LocalAddressToward(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), "5060", &hints, &found) != 0) return "";
  std::string address;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    char text[INET_ADDRSTRLEN] = {};
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr) {
      address = text;
    }
  }
  if (fd >= 0) ::close(fd);
  ::freeaddrinfo(found);
  return address;
}

std::string PeerHost(const SipAccount& account) {
  if (!account.outbound_proxy.empty()) return UriHost(account.outbound_proxy);
  if (!account.registrar.empty()) return UriHost(account.registrar);
  return UriHost(account.uri_template);
}

struct Work {
  const std::function<void()>* function;
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
};

// The largest UDP datagram.
constexpr std::size_t kUdpDatagramMax = 65535;

void IncomingCall(const struct sip_msg* msg, void* arg) {
  auto* stack = static_cast<SipStack*>(arg);
  (void)sip_treply(nullptr, stack->sip(), msg, 603, "Decline");
}

}  // namespace

std::unique_ptr<SipStack> SipStack::Start(SipAccount account, std::string* error) {
  std::unique_ptr<SipStack> stack(new SipStack(std::move(account)));
  stack->thread_ = std::jthread([raw = stack.get()] { raw->Loop(); });
  int start_error;
  {
    MutexLock lock(stack->mutex_);
    while (!stack->started_) stack->changed_.wait(lock.native());
    start_error = stack->start_error_;
    if (start_error != 0) *error = stack->start_problem_;
  }
  if (start_error != 0) {
    stack->thread_.join();
    stack->sip_ = nullptr;
    return nullptr;
  }
  return stack;
}

SipStack::~SipStack() {
  if (!thread_.joinable()) return;
  Run([this] {
    sipsess_close_all(sessions_);
    sessions_ = static_cast<struct ::sipsess_sock*>(mem_deref(sessions_));
    registration_ = static_cast<struct ::sipreg*>(mem_deref(registration_));  // un-registers
    closing_ = true;
    sip_close(sip_, false);  // OnExit once the last transaction is done
    tmr_start(
        stop_timer_, 3000, [](void*) { re_cancel(); }, nullptr);
  });
  thread_.join();
}

void SipStack::Run(const std::function<void()>& work) {
  Work item{&work, {}, {}, false};
  if (const int err = mqueue_push(mqueue_, 0, &item); err != 0) {
    throw std::runtime_error(std::string("SIP stack unreachable: ") + std::strerror(err));
  }
  std::unique_lock lock(item.mutex);
  item.done_changed.wait(lock, [&] { return item.done; });
}

void SipStack::OnMessage(int, void* data, void*) {
  auto* item = static_cast<Work*>(data);
  (*item->function)();
  std::lock_guard lock(item->mutex);
  item->done = true;
  item->done_changed.notify_one();
}

void SipStack::OnExit(void* arg) {
  static_cast<SipStack*>(arg)->exited_ = true;
  re_cancel();
}

namespace {

// Where a TLS context keeps its stack.
int StackIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

}  // namespace

int SipStack::OnVerify(int ok, X509_STORE_CTX* store) {
  if (ok == 1) return 1;
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* stack =
      ssl == nullptr
          ? nullptr
          : static_cast<SipStack*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), StackIndex()));
  if (stack != nullptr) {
    MutexLock lock(stack->mutex_);
    stack->tls_refusal_ = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
  }
  return 0;
}

std::string SipStack::TakeTlsRefusal() {
  MutexLock lock(mutex_);
  return std::exchange(tls_refusal_, std::string());
}

std::string SipStack::FromUri() const {
  // The address of record: the transport is the connection's business (the
  // stack runs the one configured), never part of the address.
  return "sip:" + account_.user + "@" + account_.domain;
}

void SipStack::Loop() {
  std::string problem;
  int err = libre_init();
  // Each call's sockets may lie beyond the 1024 descriptors libre's loop
  // takes by default (open_files.h); a table of 64 Ki is enough for 16,000
  // calls and stays small.
  if (err == 0) err = fd_setsize(static_cast<int>(std::min(OpenFileLimit(), 1L << 16)));
  if (err == 0) err = SetUp(&problem);
  {
    MutexLock lock(mutex_);
    started_ = true;
    start_error_ = err;
    if (err != 0) {
      start_problem_ = problem.empty()
                           ? std::string("cannot start the SIP stack: ") + std::strerror(err)
                           : problem;
    }
  }
  changed_.notify_all();
  if (err == 0) {
    struct tmr stop_timer;
    tmr_init(&stop_timer);
    stop_timer_ = &stop_timer;
    re_main(nullptr);
    tmr_cancel(&stop_timer);
  }
  sipsess_close_all(sessions_);
  mem_deref(sessions_);
  mem_deref(registration_);
  mem_deref(probe_listener_);
  // What a peer did not answer in time is closed by force. Once closing, the
  // stack holds its last reference only after OnExit revived it.
  if (sip_ != nullptr) sip_close(sip_, true);
  if (sip_ != nullptr && (!closing_ || exited_)) mem_deref(sip_);
  mem_deref(tls_);
  mem_deref(dnsc_);
  mem_deref(mqueue_);
  libre_close();
}

int SipStack::SetUp(std::string* problem) {
  local_address_ = account_.local_address.empty() ? LocalAddressToward(PeerHost(account_))
                                                  : account_.local_address;
  struct sa local;
  if (local_address_.empty() || sa_set_str(&local, local_address_.c_str(), account_.local_port)) {
    *problem = "no usable local address for SIP (give --sip-local-address)";
    return EADDRNOTAVAIL;
  }
  int err = mqueue_alloc(&mqueue_, OnMessage, this);
  if (err) return err;

  struct sa servers[4];
  uint32_t count = 4;
  char domain[64] = "";
  if (dns_srv_get(domain, sizeof domain, servers, &count) == 0 && count > 0) {
    (void)dnsc_alloc(&dnsc_, nullptr, servers, count);
  }
  err = sip_alloc(&sip_, dnsc_, 32, 32, 32, "Ringwell", OnExit, this);
  if (err) return err;

  sip_set_trace_handler(sip_, [](bool sent, enum sip_transp, const struct sa*, const struct sa*,
                                 const std::uint8_t* packet, std::size_t length, void* arg) {
    auto* stack = static_cast<SipStack*>(arg);
    if (sent) {
      stack->OnSent(packet, length);
    } else {
      stack->OnReceived(packet, length);
    }
  });
  if (account_.transport == "udp") {
    err = sip_transp_add(sip_, SIP_TRANSP_UDP, &local);
    if (!err) err = ProbeUdp();
  } else if (account_.transport == "tcp") {
    err = sip_transp_add(sip_, SIP_TRANSP_TCP, &local);
  } else {
    err = tls_alloc(&tls_, TLS_METHOD_SSLV23, nullptr, nullptr);
    if (err) return err;
    if (account_.tls_verify) {
      SSL_CTX* context = tls_openssl_context(tls_);
      SSL_CTX_set_ex_data(context, StackIndex(), this);
      SSL_CTX_set_verify(context, SSL_VERIFY_PEER, OnVerify);
      SSL_CTX_set_verify_depth(context, 9);
      if (!account_.ca_file.empty()) {
        err = tls_add_ca(tls_, account_.ca_file.c_str());
        if (err) {
          *problem = "cannot load the TLS certificates " + account_.ca_file;
          return err;
        }
      } else {
        SSL_CTX_set_default_verify_paths(context);
      }
      X509_VERIFY_PARAM_set1_host(SSL_CTX_get0_param(context), PeerHost(account_).c_str(), 0);
    }
    err = sip_transp_add(sip_, SIP_TRANSP_TLS, &local, tls_);
  }
  if (err) {
    *problem = "cannot open SIP " + account_.transport + " on " + local_address_ + ":" +
               std::to_string(account_.local_port) + ": " + std::strerror(err);
    return err;
  }
  err = sipsess_listen(&sessions_, sip_, 32, IncomingCall, this);
  if (err) return err;
  if (!account_.registrar.empty()) Register();
  return 0;
}

int SipStack::ProbeUdp() {
  // libre names its UDP socket only in the messages it receives there: the
  // probe's arrival raises the socket's receive size.
  int err = sip_listen(
      &probe_listener_, sip_, true,
      [](const struct sip_msg* msg, void* arg) -> bool {
        auto* stack = static_cast<SipStack*>(arg);
        if (msg->tp != SIP_TRANSP_UDP ||
            pl_strcmp(&msg->callid, stack->probe_call_id_.c_str()) != 0) {
          return false;
        }
        udp_rxsz_set(static_cast<struct udp_sock*>(msg->sock), kUdpDatagramMax);
        return true;
      },
      this);
  struct sa self;
  if (!err) err = sip_transp_laddr(sip_, &self, SIP_TRANSP_UDP, nullptr);
  if (err) return err;
  char id[32];
  std::snprintf(id, sizeof id, "probe-%016llx", static_cast<unsigned long long>(rand_u64()));
  probe_call_id_ = id;
  struct mbuf* probe = mbuf_alloc(512);
  if (probe == nullptr) return ENOMEM;
  err = mbuf_printf(probe,
                    "OPTIONS sip:%J SIP/2.0\r\n"
                    "Via: SIP/2.0/UDP %J;branch=z9hG4bK%s\r\n"
                    "Max-Forwards: 0\r\n"
                    "From: <sip:%J>;tag=%s\r\n"
                    "To: <sip:%J>\r\n"
                    "Call-ID: %s\r\n"
                    "CSeq: 1 OPTIONS\r\n"
                    "Content-Length: 0\r\n\r\n",
                    &self, &self, id, &self, id, &self, id);
  probe->pos = 0;
  if (!err) err = sip_send(sip_, nullptr, SIP_TRANSP_UDP, &self, probe);
  mem_deref(probe);
  return err;
}

void SipStack::WatchReplies(const std::string& call_id, ReplyWatch watch) {
  watches_[call_id] = std::move(watch);
}

void SipStack::StopWatching(const std::string& call_id) {
  watches_.erase(call_id);
  invited_.erase(call_id);
}

void SipStack::OnSent(const std::uint8_t* packet, std::size_t length) {
  static constexpr char kInvite[] = "INVITE ";
  if (length < sizeof kInvite - 1 || std::memcmp(packet, kInvite, sizeof kInvite - 1) != 0) {
    return;
  }
  const Trunk::Clock::time_point now = Trunk::Clock::now();
  struct mbuf* copy = mbuf_alloc(length);
  if (copy == nullptr) return;
  struct sip_msg* msg = nullptr;
  if (mbuf_write_mem(copy, packet, length) == 0) {
    copy->pos = 0;
    // The first INVITE of a call sets the trunk's pace; a retransmission or
    // one sent again with credentials does not.
    if (sip_msg_decode(&msg, copy) == 0 &&
        invited_.insert(std::string(msg->callid.p, msg->callid.l)).second) {
      trunk_.InviteSent(now);
    }
  }
  mem_deref(msg);
  mem_deref(copy);
}

void SipStack::OnReceived(const std::uint8_t* packet, std::size_t length) {
  static constexpr char kReply[] = "SIP/2.0 ";
  if (watches_.empty() || length < sizeof kReply - 1 ||
      std::memcmp(packet, kReply, sizeof kReply - 1) != 0) {
    return;
  }
  struct mbuf* copy = mbuf_alloc(length);
  if (copy == nullptr) return;
  struct sip_msg* msg = nullptr;
  if (mbuf_write_mem(copy, packet, length) == 0) {
    copy->pos = 0;
    if (sip_msg_decode(&msg, copy) == 0 && msg->scode >= 200) {
      const auto watch = watches_.find(std::string(msg->callid.p, msg->callid.l));
      if (watch != watches_.end()) watch->second(*msg);
    }
  }
  mem_deref(msg);
  mem_deref(copy);
}

int SipStack::Authenticate(char** user, char** password, const char*, void* arg) {
  const SipAccount& account = static_cast<SipStack*>(arg)->account_;
  const int err = str_dup(user, account.user.c_str());
  return err ? err : str_dup(password, account.password.c_str());
}

void SipStack::Register() {
  const std::string aor = FromUri();
  const char* routes[1] = {account_.outbound_proxy.c_str()};
  const int err = sipreg_register(
      &registration_, sip_, account_.registrar.c_str(), aor.c_str(),
      account_.caller_id.empty() ? nullptr : account_.caller_id.c_str(), aor.c_str(),
      account_.register_expires, account_.user.c_str(), routes,
      account_.outbound_proxy.empty() ? 0 : 1, 0, Authenticate, this, false,
      [](int err, const struct sip_msg* msg, void* arg) {
        auto* stack = static_cast<SipStack*>(arg);
        if (err || msg == nullptr) {
          stack->OnRegistration(err ? err : EPROTO, 0, "");
        } else if (msg->scode >= 200) {
          stack->OnRegistration(0, msg->scode, std::string(msg->reason.p, msg->reason.l));
        }
      },
      this, nullptr, nullptr);
  if (err) OnRegistration(err, 0, "");
}

void SipStack::OnRegistration(int err, int code, const std::string& reason) {
  // Why it failed, in a few words: the reply, or "timeout" when none came.
  std::optional<std::string> why;
  if (err == ETIMEDOUT) {
    why = "timeout (no reply)";
  } else if (err != 0) {
    why = std::strerror(err);
  } else if (code >= 300) {
    why = std::to_string(code) + " " + reason;
  }
  std::optional<std::string> failure;
  if (why) failure = "Registration at " + account_.registrar + " failed: " + *why;
  bool changed;
  {
    MutexLock lock(mutex_);
    changed = failure != registration_failure_ || registered_ == static_cast<bool>(failure);
  }
  // The event is written before a waiting line learns of the change.
  // Told on the host's output too, once per change.
  if (changed && failure) {
    SipEvents().ReportText(EventType::kError, kRegistrationFailedEvent, *failure + ".");
    std::fprintf(stderr, "ringwell-host: registration failed: %s (registrar %s)\n", why->c_str(),
                 account_.registrar.c_str());
  } else if (changed) {
    SipEvents().ReportText(EventType::kInformation, kRegisteredEvent,
                           "Registered at " + account_.registrar + " as " + FromUri() + ".");
    std::printf("ringwell-host: registered at %s as %s\n", account_.registrar.c_str(),
                FromUri().c_str());
    std::fflush(stdout);
  }
  {
    MutexLock lock(mutex_);
    registered_ = !failure;
    registration_failure_ = failure;
  }
  changed_.notify_all();
}

std::optional<std::string> SipStack::RegistrationProblem(double wait_seconds) {
  if (account_.registrar.empty()) return std::nullopt;
  MutexLock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(wait_seconds));
  while (!registered_ && !registration_failure_ &&
         changed_.wait_until(lock.native(), deadline) == std::cv_status::no_timeout) {
  }
  if (registered_) return std::nullopt;
  if (registration_failure_) return registration_failure_;
  return "Not yet registered at " + account_.registrar;
}

}  // namespace ringwell::host::sip
