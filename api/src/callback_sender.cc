#include "callback_sender.h"

#include <curl/curl.h>
#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "metrics.h"
#include "ringwell/common/event_log.h"
#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"
#include "ringwell/common/storage.h"
#include "ringwell/common/text.h"
#include "ringwell/common/version.h"

namespace ringwell::api {
namespace {

constexpr char kSuffix[] = ".callback.json";

std::int64_t SenderNowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Hex(const unsigned char* data, std::size_t size) {
  std::string text(size * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), data, size);
  text.pop_back();
  return text;
}

std::string Signature(const std::string& secret, const std::string& body) {
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(secret.data()),
                              secret.size());
  crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(body.data()),
                                body.size());
  unsigned char mac[crypto_auth_hmacsha256_BYTES];
  crypto_auth_hmacsha256_final(&state, mac);
  return "sha256=" + Hex(mac, sizeof mac);
}

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

}  // namespace

bool LoadCallbackSecret(const std::string& path, std::string* secret, std::string* problem) {
  std::string text;
  HRESULT hr = ReadWholeFile(path, &text);
  if (Succeeded(hr)) {
    *secret = std::string(Trim(text));
    if (secret->size() < 16) {
      *problem = path + " holds no callback secret (at least 16 characters)";
      return false;
    }
    return true;
  }
  if (FileExists(path)) {
    *problem = "cannot read the callback secret " + path + ": " + ErrorText(hr);
    return false;
  }
  unsigned char key[32];
  randombytes_buf(key, sizeof key);
  *secret = Hex(key, sizeof key);
  sodium_memzero(key, sizeof key);
  hr = ReplaceFileWith(path, [&](int fd) -> HRESULT {
    if (::fchmod(fd, 0600) != 0) return HresultFromErrno(errno);
    return WriteAll(fd, *secret + "\n") ? S_OK : HresultFromErrno(errno);
  });
  if (Failed(hr)) {
    *problem = "cannot make the callback secret " + path + ": " + ErrorText(hr);
    return false;
  }
  return true;
}

CallbackSender::CallbackSender(std::string root, std::string secret, Settings settings,
                               EventHub& hub, Metrics& metrics, const CEventLog& log)
    : root_(std::move(root)),
      secret_(std::move(secret)),
      settings_(settings),
      hub_(hub),
      metrics_(metrics),
      log_(log) {}

CallbackSender::~CallbackSender() {
  for (auto& thread : threads_) thread.request_stop();
  wake_.notify_all();
  threads_.clear();
}

void CallbackSender::Start() {
  std::vector<DirectoryEntry> entries;
  ListDirectory(root_ + kEventsDir, &entries);
  const std::string suffix = kSuffix;
  for (const DirectoryEntry& entry : entries) {
    const std::string& name = entry.name;
    if (entry.type != DirectoryEntry::Type::kFile || name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    std::string text;
    if (Failed(ReadWholeFile(root_ + kEventsDir + "/" + name, &text))) continue;
    const auto content = nlohmann::json::parse(text, nullptr, false);
    if (!content.is_object() || content.value("format", 0) != 1) continue;
    Delivery delivery;
    delivery.url = content.value("url", "");
    delivery.delivered = content.value("delivered", std::uint64_t{0});
    delivery.attempts = content.value("attempts", 0u);
    delivery.next_millis = content.value("nextMillis", std::int64_t{0});
    delivery.failing_since_millis = content.value("failingSinceMillis", std::int64_t{0});
    const std::string id = name.substr(0, name.size() - suffix.size());
    if (!delivery.url.empty() && IsPlainName(id)) {
      std::lock_guard lock(mutex_);
      deliveries_[id] = delivery;
    }
  }
  for (unsigned i = 0; i < settings_.threads; ++i) {
    threads_.emplace_back([this](std::stop_token stop) { Run(stop); });
  }
}

bool CallbackSender::Register(const std::string& id, const std::string& url) {
  Delivery delivery;
  delivery.url = url;
  Save(id, delivery);
  {
    std::lock_guard lock(mutex_);
    deliveries_[id] = delivery;
    ++wakes_;
  }
  wake_.notify_all();
  return true;
}

void CallbackSender::Wake(const std::string& id) {
  {
    std::lock_guard lock(mutex_);
    if (deliveries_.count(id) == 0) return;
    ++wakes_;
  }
  wake_.notify_all();
}

std::size_t CallbackSender::Pending() {
  std::lock_guard lock(mutex_);
  return deliveries_.size();
}

void CallbackSender::Save(const std::string& id, const Delivery& delivery) {
  const nlohmann::json content = {{"format", 1},
                                  {"url", delivery.url},
                                  {"delivered", delivery.delivered},
                                  {"attempts", delivery.attempts},
                                  {"nextMillis", delivery.next_millis},
                                  {"failingSinceMillis", delivery.failing_since_millis}};
  const std::string path = root_ + kEventsDir + "/" + id + kSuffix;
  if (const HRESULT hr = WriteFileAtomically(path, content.dump() + "\n"); Failed(hr)) {
    log_.ReportText(
        EventType::kError, 4,
        "cannot keep the pending callbacks of " + id + " in " + path + ": " + ErrorText(hr));
  }
}

bool CallbackSender::Send(const std::string& url, const nlohmann::json& event,
                          std::string* reason) {
  const std::string body = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    *reason = "cannot start a transfer";
    return false;
  }
  curl_slist* headers = nullptr;
  const std::string id = event.value("id", "");
  const std::string seq = std::to_string(event.value("seq", std::uint64_t{0}));
  for (const std::string& header :
       {std::string("Content-Type: application/json"), "Idempotency-Key: " + id + "-" + seq,
        "X-Ringwell-Event: " + event.value("type", ""),
        "X-Ringwell-Signature: " + Signature(secret_, body), std::string("Expect:")}) {
    headers = curl_slist_append(headers, header.c_str());
  }
  const std::string agent = std::string("ringwell-api/") + kVersion;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(settings_.timeout.count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK) {
    *reason = *error != '\0' ? error : curl_easy_strerror(code);
    return false;
  }
  if (status < 200 || status > 299) {
    *reason = "HTTP " + std::to_string(status);
    return false;
  }
  return true;
}

void CallbackSender::Run(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    // The delivery due first among those with an event to send.
    const std::int64_t now = SenderNowMillis();
    std::int64_t next_due = now + 60'000;
    std::string id;
    std::optional<nlohmann::json> event;
    bool finished = false;
    for (auto& [candidate, delivery] : deliveries_) {
      if (delivery.busy) continue;
      if (delivery.next_millis > now) {
        next_due = std::min(next_due, delivery.next_millis);
        continue;
      }
      delivery.busy = true;
      const std::uint64_t after = delivery.delivered;
      lock.unlock();
      const auto events = ReadEvents(JournalPath(root_, candidate), after);
      lock.lock();
      if (!events.empty()) {
        id = candidate;
        event = events.front();
        break;
      }
      delivery.busy = false;
      // Nothing to send: finished when the journal says so.
      if (Fold(ReadEvents(JournalPath(root_, candidate))).Finished()) {
        id = candidate;
        finished = true;
        break;
      }
    }
    if (finished) {
      RemoveFile(root_ + kEventsDir + "/" + id + kSuffix);
      deliveries_.erase(id);
      continue;
    }
    if (!event) {
      const std::uint64_t seen = wakes_;
      wake_.wait_for(lock, stop,
                     std::chrono::milliseconds(std::max<std::int64_t>(next_due - now, 1)),
                     [&] { return wakes_ != seen; });
      continue;
    }
    const std::string url = deliveries_[id].url;
    lock.unlock();
    std::string reason;
    const bool sent = Send(url, *event, &reason);
    lock.lock();
    Delivery& delivery = deliveries_[id];
    delivery.busy = false;
    const std::int64_t after = SenderNowMillis();
    // Delivered or given up: the next event starts afresh.
    const auto move_on = [&] {
      delivery.delivered = event->value("seq", delivery.delivered + 1);
      delivery.attempts = 0;
      delivery.next_millis = 0;
      delivery.failing_since_millis = 0;
    };
    if (sent) {
      metrics_.CallbackDelivered();
      move_on();
    } else {
      metrics_.CallbackFailed();
      if (delivery.failing_since_millis == 0) delivery.failing_since_millis = after;
      const auto give_up =
          std::chrono::duration_cast<std::chrono::milliseconds>(settings_.give_up).count();
      if (after - delivery.failing_since_millis >= give_up) {
        log_.ReportText(EventType::kError, 5,
                        "gave up the status callback of " + id + " event " +
                            std::to_string(event->value("seq", 0)) + " to " + url + " after " +
                            std::to_string(delivery.attempts + 1) + " attempts: " + reason);
        metrics_.CallbackGivenUp();
        move_on();
      } else {
        const std::int64_t base = settings_.retry.count();
        const std::int64_t cap =
            std::chrono::duration_cast<std::chrono::milliseconds>(settings_.retry_max).count();
        const std::int64_t delay = std::min(cap, base << std::min<unsigned>(delivery.attempts, 30));
        ++delivery.attempts;
        delivery.next_millis = after + delay;
      }
    }
    const Delivery copy = delivery;
    lock.unlock();
    Save(id, copy);
    lock.lock();
  }
}

}  // namespace ringwell::api
