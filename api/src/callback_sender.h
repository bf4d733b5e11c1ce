// Status callbacks: every event of a request that carries "statusCallback" is
// POSTed, in order, to that URL as JSON (the event as the journal and the
// event stream give it), at least once. Headers: "Idempotency-Key: <ID>-<seq>"
// (the same for every retry of one event), "X-Ringwell-Event: <type>" and
// "X-Ringwell-Signature: sha256=<hex>", the HMAC-SHA256 of the body keyed with
// the installation's callback secret (the text of CallbackSecretFile, made
// with 32 random bytes in hex on first start), so a receiver can check where
// it came from. A 2xx reply delivers the event; anything else (another status,
// no reply within the timeout, a refused connection) is retried after a delay
// that starts at `retry` and doubles up to `retry_max`. An event that fails
// for longer than `give_up` is dropped with an event-log entry, and the next
// one is tried.
//
// What is still to be delivered is kept under the storage root, beside the
// journals: Events/<ID>.callback.json, {"format": 1, "url": URL,
// "delivered": SEQ, "offset": BYTES, "attempts": N, "nextMillis": T,
// "failingSinceMillis": T} ("offset": where the journal's line after SEQ
// starts), rewritten (atomically) after every failed attempt and at least
// every quarter second while events are delivered (a restart may send the
// last few again: the receiver knows them by their Idempotency-Key), and
// removed once the request is finished and its last event delivered. At start
// every such file is taken up again, so callbacks survive a restart of the API.
//
// How the work flows: the event hub tells (request, last seq) after each
// append to a journal; the sender's one thread takes that up, reads each
// delivery's journal on from the byte offset it keeps (never the whole
// journal again), and runs the transfers with libcurl's multi interface, all
// at once and none of them holding a thread while it waits for a receiver.
// Each destination (scheme, host and port) has its own queue of deliveries
// and at most `per_destination` transfers at a time, so a hanging receiver
// delays only its own deliveries. One request's events go one at a time, in
// order.
//
// Unless `allow_private` (CallbackAllowPrivate), a callback is only ever sent
// to a public address: the address a connection is about to be made to (after
// the name is resolved) is checked, and a delivery to a loopback, link-local,
// private or otherwise local address is given up with an event-log entry.
//
// With a leader lease (several API instances on one storage root) the sender
// delivers only while this instance holds it: every instance keeps what it
// registers under the root, and the holder takes up every pending file when
// it gains the lease, looks for files and journal lines the other instances
// added every second, and forgets its deliveries when it loses the lease
// (what was delivered is saved first, so the next holder goes on from there;
// after a holder died, the last few events may be sent again, with the same
// Idempotency-Key).
//
// Thread-safety: Register, Wake and Pending may be called from any thread;
// they only hand work to the sender's thread under a short lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "event_hub.h"
#include "ringwell/common/leader_lease.h"
#include "ringwell/common/thread_annotations.h"

namespace ringwell {
class CEventLog;
}

namespace ringwell::api {

class Metrics;

class CallbackSender {
 public:
  struct Settings {
    std::chrono::seconds timeout{10};
    std::chrono::milliseconds retry{1000};
    std::chrono::seconds retry_max{300};
    std::chrono::hours give_up{24};
    unsigned per_destination = 4;  // transfers at once to one scheme, host and port
    bool allow_private = false;    // CallbackAllowPrivate
    unsigned max_transfers = 512;  // transfers at once in all
  };
  CallbackSender(std::string root, std::string secret, Settings settings, EventHub& hub,
                 Metrics& metrics, const CEventLog& log);
  ~CallbackSender();
  CallbackSender(const CallbackSender&) = delete;
  CallbackSender& operator=(const CallbackSender&) = delete;

  // Takes up every pending delivery kept under the root and starts sending.
  void Start();
  // The lease delivering needs (it must outlive the sender). Set before Start.
  void SetLeader(const LeaderLease* leader) { leader_ = leader; }
  // Sends the events of `id` to `url` from the first one on; false when what
  // is to be delivered cannot be kept under the root.
  bool Register(const std::string& id, const std::string& url);
  // `id`'s journal has events up to `seq`.
  void Wake(const std::string& id, std::uint64_t seq = 0);
  // Deliveries not finished yet.
  std::size_t Pending() const { return pending_.load(); }

 private:
  struct Buffered {
    nlohmann::json event;
    std::string line;       // as the journal has it: the body posted
    std::uint64_t end = 0;  // the journal's offset after its line
  };
  enum class State { kIdle, kQueued, kSending, kWaiting };
  struct Delivery {
    std::string url;
    std::string destination;
    std::uint64_t delivered = 0;         // the last seq delivered (or given up)
    std::uint64_t delivered_offset = 0;  // the journal's offset after it
    std::uint64_t read_offset = 0;       // where the next read starts
    bool check_offset = false;           // an offset kept on disk, not yet seen to fit
    std::deque<Buffered> buffer;         // read, not delivered
    bool finished = false;               // the last event read finished the request
    unsigned attempts = 0;
    std::int64_t next_millis = 0;
    std::int64_t failing_since_millis = 0;
    State state = State::kIdle;
    bool dirty = false;  // delivered more than the file says
    std::int64_t saved_millis = 0;
  };
  struct Destination {
    std::deque<std::string> queue;
    unsigned in_flight = 0;
    bool listed = false;  // in runnable_
  };
  struct Transfer;

  void Run(std::stop_token stop);
  // Takes up the pending files of deliveries not known yet.
  void TakePendingFiles();
  // On a shared root: the files and journal lines other instances added.
  void LookForOthersWork();
  // The lease was lost: what was delivered is saved, everything is dropped.
  void DropAll();
  void TakeInbox();
  void MakeReady(const std::string& id, Delivery& delivery);
  void StartTransfers();
  // Starts sending `id`'s next event, or finds it has none.
  void Begin(const std::string& id);
  bool Fill(const std::string& id, Delivery& delivery);
  void Finish(Transfer* transfer, bool sent, const std::string& reason);
  void Save(const std::string& id, Delivery& delivery);
  static std::string DestinationOf(const std::string& url);

  const std::string root_;
  const std::string secret_;
  const Settings settings_;
  EventHub& hub_;
  Metrics& metrics_;
  const CEventLog& log_;
  std::atomic<std::size_t> pending_{0};

  // Handed over to the sender's thread.
  Mutex inbox_mutex_;
  std::vector<std::pair<std::string, std::string>> registered_ RINGWELL_GUARDED_BY(inbox_mutex_);
  std::vector<std::string> woken_ RINGWELL_GUARDED_BY(inbox_mutex_);

  void* const multi_;  // CURLM*: curl_multi_wakeup from any thread

  // The sender's thread only.
  std::unordered_map<std::string, Delivery> deliveries_;
  std::unordered_map<std::string, Destination> destinations_;
  std::deque<std::string> runnable_;                 // destinations with work and room
  std::multimap<std::int64_t, std::string> timers_;  // retries due
  unsigned in_flight_ = 0;
  std::unordered_set<Transfer*> transfers_;  // owned, under way
  std::vector<void*> idle_handles_;          // CURL* of ended transfers, used again
  const LeaderLease* leader_ = nullptr;
  std::jthread thread_;
};

// The callback secret in `path`, made (32 random bytes as hex, mode 0600)
// when the file does not exist; false with `problem` when it cannot be.
bool LoadCallbackSecret(const std::string& path, std::string* secret, std::string* problem);

// Why `url` may not receive callbacks (its host is "localhost" or a loopback,
// link-local, private or other local address, in any of the forms a URL may
// write one), or empty. Names are checked again, once resolved, when a
// callback is sent.
std::string CallbackUrlProblem(const std::string& url);

}  // namespace ringwell::api
