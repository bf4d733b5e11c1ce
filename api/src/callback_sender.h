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
// "delivered": SEQ, "attempts": N, "nextMillis": T, "failingSinceMillis": T},
// rewritten (atomically) after every attempt and removed once the request is
// finished and its last event delivered. At start every such file is taken
// up again, so callbacks survive a restart of the API. The deliveries run on
// threads of their own: a slow receiver delays only its own request's events.
//
// Thread-safety: Register and Wake may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "event_hub.h"

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
    unsigned threads = 4;
  };
  CallbackSender(std::string root, std::string secret, Settings settings, EventHub& hub,
                 Metrics& metrics, const CEventLog& log);
  ~CallbackSender();
  CallbackSender(const CallbackSender&) = delete;
  CallbackSender& operator=(const CallbackSender&) = delete;

  // Takes up every pending delivery kept under the root and starts sending.
  void Start();
  // Sends the events of `id` to `url` from the first one on.
  bool Register(const std::string& id, const std::string& url);
  // `id` has new events.
  void Wake(const std::string& id);
  std::size_t Pending();

 private:
  struct Delivery {
    std::string url;
    std::uint64_t delivered = 0;
    unsigned attempts = 0;
    std::int64_t next_millis = 0;
    std::int64_t failing_since_millis = 0;
    bool busy = false;  // a thread is sending its next event
  };
  void Run(std::stop_token stop);
  void Save(const std::string& id, const Delivery& delivery);
  // Sends one event; true for a 2xx reply, else false with the reason.
  bool Send(const std::string& url, const nlohmann::json& event, std::string* reason);

  const std::string root_;
  const std::string secret_;
  const Settings settings_;
  EventHub& hub_;
  Metrics& metrics_;
  const CEventLog& log_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::map<std::string, Delivery> deliveries_;
  std::uint64_t wakes_ = 0;  // counts Register and Wake, so a waiting thread notices them
  std::vector<std::jthread> threads_;
};

// The callback secret in `path`, made (32 random bytes as hex, mode 0600)
// when the file does not exist; false with `problem` when it cannot be.
bool LoadCallbackSecret(const std::string& path, std::string* secret, std::string* problem);

}  // namespace ringwell::api
