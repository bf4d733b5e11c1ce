// SipStack: the one SIP and RTP stack (libre) of the process. Its event loop
// runs on a thread of its own, and every libre object is created, used and
// released on that thread: the SIP lines hand work to it with Run (the
// function runs on the loop thread while the caller waits). Only the calls'
// RTP is handled elsewhere: sent by the media clock's sender threads
// (media_clock.h) and received by the media receivers (media_receivers.h),
// on the RTP sockets' descriptors.
//
// The stack opens the configured transport on the local address, refuses
// calls offered to it, and, when a registrar is configured, registers and
// keeps the registration fresh; a failed registration is logged as an event
// naming the registrar and the SIP reply, and the lines fail their calls with
// that text.
//
// libre hands a session's replies to the session only while it lives; a call
// that wants the last word on a session it has let go of (the 487 after a
// CANCEL, the reply to a BYE) has the stack watch its Call-ID. libre also
// reads at most 8 KB of a UDP datagram by default: the stack raises that to
// the 64 KB a datagram can hold, so a reply with tens of kilobytes of
// headers is read, answered and ended like any other.
//
// The stack also holds the account's trunk limits (trunk.h), which every
// line of the account asks before it calls.
//
// Thread-safety: Run, RegistrationProblem and the accessors may be called
// from any thread; the libre objects returned, WatchReplies and StopWatching
// may only be used inside Run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "media_clock.h"
#include "media_receivers.h"
#include "ringwell/common/thread_annotations.h"
#include "sip_account.h"
#include "trunk.h"

struct sip;
struct sip_lsnr;
struct sip_msg;
struct sipsess_sock;
struct sipreg;
struct mqueue;
struct dnsc;
struct tls;
struct x509_store_ctx_st;
struct tmr;

namespace ringwell::host::sip {

class SipStack {
 public:
  // Starts the loop thread with `account`; nullptr with `error` when the
  // stack cannot be set up (for example the local address cannot be bound).
  static std::unique_ptr<SipStack> Start(SipAccount account, std::string* error);
  // Ends every session and the registration (un-registering), stops the loop
  // and joins it. The lines must have finished their calls.
  ~SipStack();

  // Runs `work` on the loop thread and returns when it has run. Throws
  // std::runtime_error when the loop cannot be reached.
  void Run(const std::function<void()>& work);

  const SipAccount& account() const { return account_; }
  // The account's limits on calls at once and set-ups per second.
  Trunk& trunk() { return trunk_; }
  // The senders of every answered call's RTP packets.
  MediaClock& media_clock() { return media_clock_; }
  // The receivers of every call's RTP.
  MediaReceivers& media_receivers() { return media_receivers_; }
  // The local IP address (no port) SIP and RTP use.
  const std::string& local_address() const { return local_address_; }
  // libre objects, for use inside Run only.
  struct ::sip* sip() const {
    return sip_;
  }
  struct ::sipsess_sock* sessions() const {
    return sessions_;
  }
  // The From URI of calls and the address of record ("sip:user@domain",
  // without a transport parameter whatever the transport).
  std::string FromUri() const;

  // Why calls cannot be placed: the registration failed or has not yet
  // succeeded after `wait_seconds`. Empty when calls may go.
  std::optional<std::string> RegistrationProblem(double wait_seconds) RINGWELL_EXCLUDES(mutex_);

  // Why the last TLS peer was refused ("self-signed certificate", "hostname
  // mismatch"), once; empty when none was since the last call.
  std::string TakeTlsRefusal() RINGWELL_EXCLUDES(mutex_);

  // Hands every final reply received for the Call-ID `call_id` to `watch`
  // (on the loop thread) until StopWatching, also after the session was
  // released. Inside Run only.
  using ReplyWatch = std::function<void(const struct sip_msg&)>;
  void WatchReplies(const std::string& call_id, ReplyWatch watch);
  void StopWatching(const std::string& call_id);

  // The digest credentials handler (libre's sip_auth_h) for this account.
  static int Authenticate(char** user, char** password, const char* realm, void* stack);

 private:
  explicit SipStack(SipAccount account)
      : account_(std::move(account)), trunk_({account_.max_calls, account_.max_call_rate}) {}
  // Loop thread.
  int SetUp(std::string* problem);
  void Loop() RINGWELL_EXCLUDES(mutex_);
  void Register();
  void OnRegistration(int err, int code, const std::string& reason) RINGWELL_EXCLUDES(mutex_);
  // A message received, as libre's trace hands it over (before its handlers).
  void OnReceived(const std::uint8_t* packet, std::size_t length);
  // A message sent: the first INVITE of each call goes to the trunk.
  void OnSent(const std::uint8_t* packet, std::size_t length);
  // Sends the stack a request over UDP, to learn its UDP socket.
  int ProbeUdp();

  static void OnMessage(int id, void* data, void* arg);
  static void OnExit(void* arg);
  static int OnVerify(int ok, ::x509_store_ctx_st* store);

  const SipAccount account_;
  Trunk trunk_;
  // Set by the loop thread before Start returns; read-only afterwards.
  std::string local_address_;
  MediaClock media_clock_;
  MediaReceivers media_receivers_;
  std::jthread thread_;

  // Loop thread only (sip_ and sessions_ are handed to work run by Run).
  struct ::mqueue* mqueue_ = nullptr;
  struct ::dnsc* dnsc_ = nullptr;
  struct ::tls* tls_ = nullptr;
  struct ::sip* sip_ = nullptr;
  struct ::sipsess_sock* sessions_ = nullptr;
  struct ::sipreg* registration_ = nullptr;
  struct ::tmr* stop_timer_ = nullptr;
  struct ::sip_lsnr* probe_listener_ = nullptr;
  std::string probe_call_id_;
  std::map<std::string, ReplyWatch> watches_;
  std::set<std::string> invited_;  // Call-IDs of the INVITEs sent, until StopWatching
  bool closing_ = false;
  bool exited_ = false;

  Mutex mutex_;
  std::condition_variable changed_;                   // notified when a member below changes
  bool started_ RINGWELL_GUARDED_BY(mutex_) = false;  // set up, or failed to
  int start_error_ RINGWELL_GUARDED_BY(mutex_) = 0;
  std::string start_problem_ RINGWELL_GUARDED_BY(mutex_);
  bool registered_ RINGWELL_GUARDED_BY(mutex_) = false;
  std::optional<std::string> registration_failure_ RINGWELL_GUARDED_BY(mutex_);
  std::string tls_refusal_ RINGWELL_GUARDED_BY(mutex_);
};

}  // namespace ringwell::host::sip
