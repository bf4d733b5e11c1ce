#include "callback_sender.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

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

// Loopback, "this network", private (RFC 1918), shared (RFC 6598),
// link-local, protocol assignments, benchmarking, multicast and reserved.
bool IsLocalIpv4(std::uint32_t address) {
  const auto in = [address](std::uint32_t net, int bits) {
    return (address >> (32 - bits)) == (net >> (32 - bits));
  };
  return in(0x00000000, 8) || in(0x0A000000, 8) || in(0x64400000, 10) || in(0x7F000000, 8) ||
         in(0xA9FE0000, 16) || in(0xAC100000, 12) || in(0xC0000000, 24) || in(0xC0A80000, 16) ||
         in(0xC6120000, 15) || address >= 0xE0000000;
}

bool IsLocalIpv6(const unsigned char* a) {
  static const unsigned char kZero[12] = {};
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  static const unsigned char kNat64[12] = {0, 0x64, 0xFF, 0x9B};
  if (std::memcmp(a, kZero, 12) == 0 || std::memcmp(a, kMapped, 12) == 0 ||
      std::memcmp(a, kNat64, 12) == 0) {
    // ::, ::1 and the forms that carry an IPv4 address.
    return IsLocalIpv4(static_cast<std::uint32_t>(a[12]) << 24 | a[13] << 16 | a[14] << 8 | a[15]);
  }
  return (a[0] & 0xFE) == 0xFC ||                    // unique local fc00::/7
         (a[0] == 0xFE && (a[1] & 0xC0) == 0x80) ||  // link-local fe80::/10
         (a[0] == 0xFE && (a[1] & 0xC0) == 0xC0) ||  // site-local fec0::/10
         a[0] == 0xFF;                               // multicast
}

// The address as text when it is one callbacks may not go to, else empty.
std::string LocalAddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (!IsLocalIpv4(ntohl(in->sin_addr.s_addr))) return {};
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    return text;
  }
  if (address->sa_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(address);
    if (!IsLocalIpv6(in->sin6_addr.s6_addr)) return {};
    inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
    return text;
  }
  return "an address that is not IP";
}

// The host part of a URL (lower case, IPv6 without brackets), or empty.
std::string UrlPart(const std::string& url, CURLUPart what) {
  CURLU* handle = curl_url();
  std::string text;
  char* part = nullptr;
  if (handle != nullptr && curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(handle, what, &part, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    text = part;
  }
  curl_free(part);
  curl_url_cleanup(handle);
  if (what == CURLUPART_HOST) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
      text = text.substr(1, text.size() - 2);
    }
  }
  return text;
}

std::int64_t Millis(std::chrono::milliseconds value) { return value.count(); }

}  // namespace

std::string CallbackUrlProblem(const std::string& url) {
  std::string host = UrlPart(url, CURLUPART_HOST);
  if (const auto zone = host.find('%'); zone != std::string::npos) host.resize(zone);
  while (!host.empty() && host.back() == '.') host.pop_back();
  const std::string refused = "\"" + url +
                              "\" is a loopback, link-local or private address; callbacks go to "
                              "public addresses unless CallbackAllowPrivate = 1 in the API's "
                              "settings";
  if (host.empty()) return "\"" + url + "\" names no host";
  if (host == "localhost" || (host.size() > 10 && host.ends_with(".localhost"))) return refused;
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  // inet_aton takes every form of IPv4 a resolver takes: 127.1, 0x7f.1,
  // 2130706433, 0177.0.0.1.
  if (inet_aton(host.c_str(), &v4.sin_addr) != 0) {
    if (!LocalAddressText(reinterpret_cast<const sockaddr*>(&v4)).empty()) return refused;
  } else if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
    if (!LocalAddressText(reinterpret_cast<const sockaddr*>(&v6)).empty()) return refused;
  }
  return {};
}

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

// One POST of one event, from curl_easy_init to its end.
struct CallbackSender::Transfer {
  std::string id;
  std::string destination;
  std::string body;
  curl_slist* headers = nullptr;
  CURL* easy = nullptr;
  bool allow_private = false;
  std::string refused;  // the local address a connection was refused to
  char error[CURL_ERROR_SIZE] = "";
  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
};

CallbackSender::CallbackSender(std::string root, std::string secret, Settings settings,
                               EventHub& hub, Metrics& metrics, const CEventLog& log)
    : root_(std::move(root)),
      secret_(std::move(secret)),
      settings_(settings),
      hub_(hub),
      metrics_(metrics),
      log_(log),
      multi_(curl_multi_init()) {
  curl_multi_setopt(static_cast<CURLM*>(multi_), CURLMOPT_MAXCONNECTS,
                    static_cast<long>(settings_.max_transfers));
}

CallbackSender::~CallbackSender() {
  if (thread_.joinable()) {
    thread_.request_stop();
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
    thread_.join();
  }
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

std::string CallbackSender::DestinationOf(const std::string& url) {
  const std::string host = UrlPart(url, CURLUPART_HOST);
  if (host.empty()) return url;
  return UrlPart(url, CURLUPART_SCHEME) + "://" + host + ":" + UrlPart(url, CURLUPART_PORT);
}

void CallbackSender::Start() {
  if (leader_ == nullptr) TakePendingFiles();
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void CallbackSender::TakePendingFiles() {
  std::vector<DirectoryEntry> entries;
  ListDirectory(root_ + kEventsDir, &entries);
  const std::string suffix = kSuffix;
  std::vector<std::string> taken;
  for (const DirectoryEntry& entry : entries) {
    const std::string& name = entry.name;
    if (entry.type != DirectoryEntry::Type::kFile || name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string id = name.substr(0, name.size() - suffix.size());
    if (!IsPlainName(id) || deliveries_.contains(id)) continue;
    std::string text;
    if (Failed(ReadWholeFile(root_ + kEventsDir + "/" + name, &text))) continue;
    const auto content = nlohmann::json::parse(text, nullptr, false);
    if (!content.is_object() || content.value("format", 0) != 1) continue;
    Delivery delivery;
    delivery.url = content.value("url", "");
    delivery.destination = DestinationOf(delivery.url);
    delivery.delivered = content.value("delivered", std::uint64_t{0});
    // A file without an offset (or with one that does not fit the journal)
    // is taken up by reading the journal from its start once.
    delivery.delivered_offset = content.value("offset", std::uint64_t{0});
    delivery.read_offset = delivery.delivered_offset;
    delivery.check_offset = delivery.read_offset != 0;
    delivery.attempts = content.value("attempts", 0u);
    delivery.next_millis = content.value("nextMillis", std::int64_t{0});
    delivery.failing_since_millis = content.value("failingSinceMillis", std::int64_t{0});
    if (delivery.url.empty()) continue;
    deliveries_[id] = std::move(delivery);
    taken.push_back(id);
  }
  for (const std::string& id : taken) {
    Delivery& delivery = deliveries_[id];
    if (delivery.next_millis > SenderNowMillis()) {
      delivery.state = State::kWaiting;
      timers_.emplace(delivery.next_millis, id);
    } else {
      MakeReady(id, delivery);
    }
  }
  pending_ = deliveries_.size();
}

void CallbackSender::LookForOthersWork() {
  TakePendingFiles();
  for (auto& [id, delivery] : deliveries_) {
    struct stat status {};
    if (delivery.state == State::kIdle && Succeeded(LinkStatus(JournalPath(root_, id), &status)) &&
        static_cast<std::uint64_t>(status.st_size) > delivery.read_offset) {
      MakeReady(id, delivery);
    }
  }
}

void CallbackSender::DropAll() {
  CURLM* multi = static_cast<CURLM*>(multi_);
  for (auto& [id, delivery] : deliveries_) {
    if (delivery.dirty) Save(id, delivery);
  }
  for (Transfer* transfer : transfers_) {
    curl_multi_remove_handle(multi, transfer->easy);
    delete transfer;
  }
  transfers_.clear();
  in_flight_ = 0;
  deliveries_.clear();
  destinations_.clear();
  runnable_.clear();
  timers_.clear();
  pending_ = 0;
}

bool CallbackSender::Register(const std::string& id, const std::string& url) {
  Delivery delivery;
  delivery.url = url;
  Save(id, delivery);
  {
    MutexLock lock(inbox_mutex_);
    registered_.emplace_back(id, url);
  }
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
  return !delivery.dirty;
}

void CallbackSender::Wake(const std::string& id, std::uint64_t) {
  {
    MutexLock lock(inbox_mutex_);
    woken_.push_back(id);
  }
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

void CallbackSender::Save(const std::string& id, Delivery& delivery) {
  const nlohmann::json content = {{"format", 1},
                                  {"url", delivery.url},
                                  {"delivered", delivery.delivered},
                                  {"offset", delivery.delivered_offset},
                                  {"attempts", delivery.attempts},
                                  {"nextMillis", delivery.next_millis},
                                  {"failingSinceMillis", delivery.failing_since_millis}};
  const std::string path = root_ + kEventsDir + "/" + id + kSuffix;
  delivery.saved_millis = SenderNowMillis();
  if (const HRESULT hr = WriteFileAtomically(path, content.dump() + "\n"); Failed(hr)) {
    delivery.dirty = true;
    log_.ReportText(
        EventType::kError, 4,
        "cannot keep the pending callbacks of " + id + " in " + path + ": " + ErrorText(hr));
    return;
  }
  delivery.dirty = false;
}

void CallbackSender::TakeInbox() {
  std::vector<std::pair<std::string, std::string>> registered;
  std::vector<std::string> woken;
  {
    MutexLock lock(inbox_mutex_);
    registered.swap(registered_);
    woken.swap(woken_);
  }
  for (auto& [id, url] : registered) {
    const auto [it, made] = deliveries_.try_emplace(id);
    if (made) {
      it->second.url = std::move(url);
      it->second.destination = DestinationOf(it->second.url);
    }
    if (it->second.state == State::kIdle) MakeReady(id, it->second);
  }
  for (const std::string& id : woken) {
    const auto found = deliveries_.find(id);
    if (found != deliveries_.end() && found->second.state == State::kIdle) {
      MakeReady(id, found->second);
    }
  }
}

void CallbackSender::MakeReady(const std::string& id, Delivery& delivery) {
  delivery.state = State::kQueued;
  Destination& destination = destinations_[delivery.destination];
  destination.queue.push_back(id);
  if (!destination.listed && destination.in_flight < settings_.per_destination) {
    destination.listed = true;
    runnable_.push_back(delivery.destination);
  }
}

void CallbackSender::StartTransfers() {
  while (!runnable_.empty() && in_flight_ < settings_.max_transfers) {
    const std::string name = std::move(runnable_.front());
    runnable_.pop_front();
    Destination& destination = destinations_[name];
    destination.listed = false;
    while (destination.in_flight < settings_.per_destination && !destination.queue.empty() &&
           in_flight_ < settings_.max_transfers) {
      const std::string id = std::move(destination.queue.front());
      destination.queue.pop_front();
      Begin(id);
    }
    if (!destination.queue.empty() && destination.in_flight < settings_.per_destination) {
      destination.listed = true;  // stopped by the limit of all transfers
      runnable_.push_front(name);
      return;
    }
    if (destination.queue.empty() && destination.in_flight == 0) destinations_.erase(name);
  }
}

bool CallbackSender::Fill(const std::string& id, Delivery& delivery) {
  const std::string path = JournalPath(root_, id);
  for (bool again = true; again;) {
    again = false;
    JournalChunk chunk = ReadEventsAt(path, delivery.read_offset);
    for (std::size_t i = 0; i < chunk.events.size(); ++i) {
      nlohmann::json& event = chunk.events[i];
      const std::uint64_t seq = event["seq"].get<std::uint64_t>();
      if (delivery.check_offset) {
        delivery.check_offset = false;
        if (seq != delivery.delivered + 1) {
          delivery.read_offset = 0;  // not the line it was kept for: from the start
          again = true;
          break;
        }
      }
      delivery.finished =
          event.value("type", "") == "status" && kel::client::IsFinished(event.value("status", ""));
      if (seq <= delivery.delivered) {
        delivery.delivered_offset = chunk.ends[i];
        continue;
      }
      delivery.buffer.push_back({std::move(event), std::move(chunk.lines[i]), chunk.ends[i]});
    }
    if (!again) delivery.read_offset = chunk.next_offset;
  }
  return !delivery.buffer.empty();
}

void CallbackSender::Begin(const std::string& id) {
  const auto found = deliveries_.find(id);
  if (found == deliveries_.end() || found->second.state != State::kQueued) return;
  Delivery& delivery = found->second;
  if (delivery.buffer.empty() && !Fill(id, delivery)) {
    if (delivery.finished) {
      RemoveFile(root_ + kEventsDir + "/" + id + kSuffix);
      deliveries_.erase(found);
      return;
    }
    delivery.state = State::kIdle;
    if (delivery.dirty) Save(id, delivery);
    return;
  }
  const nlohmann::json& event = delivery.buffer.front().event;
  auto transfer = std::make_unique<Transfer>();
  transfer->id = id;
  transfer->destination = delivery.destination;
  transfer->allow_private = settings_.allow_private;
  transfer->body = delivery.buffer.front().line;  // the event as the journal and streams give it
  const std::string seq = std::to_string(event["seq"].get<std::uint64_t>());
  for (const std::string& header :
       {std::string("Content-Type: application/json"), "Idempotency-Key: " + id + "-" + seq,
        "X-Ringwell-Event: " + event.value("type", ""),
        "X-Ringwell-Signature: " + Signature(secret_, transfer->body), std::string("Expect:")}) {
    transfer->headers = curl_slist_append(transfer->headers, header.c_str());
  }
  delivery.state = State::kSending;
  ++destinations_[delivery.destination].in_flight;
  ++in_flight_;
  CURL* curl = nullptr;
  if (idle_handles_.empty()) {
    curl = curl_easy_init();
  } else {
    curl = static_cast<CURL*>(idle_handles_.back());
    idle_handles_.pop_back();
  }
  transfer->easy = curl;
  if (curl == nullptr) {
    Finish(transfer.release(), false, "cannot start a transfer");
    return;
  }
  const std::string agent = std::string("ringwell-api/") + kVersion;
  curl_opensocket_callback open_socket = [](void* data, curlsocktype,
                                            curl_sockaddr* address) -> curl_socket_t {
    auto* self = static_cast<Transfer*>(data);
    if (!self->allow_private) {
      if (std::string local = LocalAddressText(&address->addr); !local.empty()) {
        self->refused = std::move(local);  // curl may go on to another address of the name
        return CURL_SOCKET_BAD;
      }
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  };
  curl_easy_setopt(curl, CURLOPT_URL, delivery.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_PROXY, "");  // never through a proxy of the environment
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, transfer->headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, transfer->body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(transfer->body.size()));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                   static_cast<long>(std::chrono::milliseconds(settings_.timeout).count()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, transfer->error);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, open_socket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, transfer.get());
  curl_easy_setopt(curl, CURLOPT_PRIVATE, transfer.get());
  if (curl_multi_add_handle(static_cast<CURLM*>(multi_), curl) != CURLM_OK) {
    Finish(transfer.release(), false, "cannot start a transfer");
    return;
  }
  transfers_.insert(transfer.release());  // until it is done
}

void CallbackSender::Finish(Transfer* done, bool sent, const std::string& reason) {
  const std::unique_ptr<Transfer> transfer(done);
  transfers_.erase(done);
  --in_flight_;
  if (const auto at = destinations_.find(transfer->destination); at != destinations_.end()) {
    Destination& destination = at->second;
    --destination.in_flight;
    if (!destination.queue.empty() && !destination.listed) {
      destination.listed = true;
      runnable_.push_back(transfer->destination);
    }
  }
  const auto found = deliveries_.find(transfer->id);
  if (found == deliveries_.end()) return;
  const std::string& id = found->first;
  Delivery& delivery = found->second;
  const Buffered& next = delivery.buffer.front();
  const std::uint64_t seq = next.event["seq"].get<std::uint64_t>();
  if (!sent && !transfer->refused.empty()) {
    log_.ReportText(EventType::kError, 5,
                    "gave up the status callbacks of " + id + " to " + delivery.url +
                        ": it leads to " + transfer->refused +
                        ", a loopback, link-local or private address (CallbackAllowPrivate = 1 "
                        "in the API's settings allows such addresses)");
    metrics_.CallbackGivenUp();
    RemoveFile(root_ + kEventsDir + "/" + id + kSuffix);
    deliveries_.erase(found);
    return;
  }
  const std::int64_t now = SenderNowMillis();
  // Delivered or given up: the next event starts afresh.
  const auto move_on = [&] {
    delivery.delivered = seq;
    delivery.delivered_offset = next.end;
    delivery.buffer.pop_front();
    delivery.attempts = 0;
    delivery.next_millis = 0;
    delivery.failing_since_millis = 0;
    delivery.dirty = true;
  };
  if (sent) {
    metrics_.CallbackDelivered();
    move_on();
    if (now - delivery.saved_millis >= 250) Save(id, delivery);
    MakeReady(id, delivery);
    return;
  }
  metrics_.CallbackFailed();
  if (delivery.failing_since_millis == 0) delivery.failing_since_millis = now;
  const std::int64_t give_up =
      std::chrono::duration_cast<std::chrono::milliseconds>(settings_.give_up).count();
  if (now - delivery.failing_since_millis >= give_up) {
    log_.ReportText(EventType::kError, 5,
                    "gave up the status callback of " + id + " event " + std::to_string(seq) +
                        " to " + delivery.url + " after " + std::to_string(delivery.attempts + 1) +
                        " attempts: " + reason);
    metrics_.CallbackGivenUp();
    move_on();
    Save(id, delivery);
    MakeReady(id, delivery);
    return;
  }
  const std::int64_t base = Millis(settings_.retry);
  const std::int64_t cap = Millis(settings_.retry_max);
  const std::int64_t delay = std::min(cap, base << std::min<unsigned>(delivery.attempts, 30));
  ++delivery.attempts;
  delivery.next_millis = now + delay;
  delivery.state = State::kWaiting;
  timers_.emplace(delivery.next_millis, id);
  Save(id, delivery);
}

void CallbackSender::Run(std::stop_token stop) {
  CURLM* multi = static_cast<CURLM*>(multi_);
  bool leading = leader_ == nullptr;
  std::int64_t looked_millis = 0;
  while (!stop.stop_requested()) {
    if (leader_ != nullptr) {
      const bool held = leader_->Held();
      if (held && !leading) {
        TakePendingFiles();  // the deliveries as the last holder left them
        looked_millis = SenderNowMillis();
      } else if (!held && leading) {
        DropAll();
      }
      leading = held;
      if (!leading) {
        {
          MutexLock lock(inbox_mutex_);  // kept under the root: the holder takes them up
          registered_.clear();
          woken_.clear();
        }
        curl_multi_poll(multi, nullptr, 0, 200, nullptr);
        continue;
      }
      if (SenderNowMillis() - looked_millis >= 1000) {
        LookForOthersWork();
        looked_millis = SenderNowMillis();
      }
    }
    TakeInbox();
    const std::int64_t now = SenderNowMillis();
    while (!timers_.empty() && timers_.begin()->first <= now) {
      const std::string id = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      const auto found = deliveries_.find(id);
      if (found != deliveries_.end() && found->second.state == State::kWaiting) {
        MakeReady(id, found->second);
      }
    }
    StartTransfers();
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode code = message->data.result;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      curl_multi_remove_handle(multi, easy);
      if (idle_handles_.size() < 64) {
        curl_easy_reset(easy);  // nothing of it points into the transfer any more
        idle_handles_.push_back(std::exchange(transfer->easy, nullptr));
      }
      std::string reason;
      if (code != CURLE_OK) {
        reason = transfer->error[0] != '\0' ? transfer->error : curl_easy_strerror(code);
      } else if (status < 200 || status > 299) {
        reason = "HTTP " + std::to_string(status);
      }
      Finish(transfer, reason.empty(), reason);
    }
    pending_ = deliveries_.size();
    int wait = 1000;
    if (!runnable_.empty()) {
      wait = 0;
    } else if (!timers_.empty()) {
      wait = static_cast<int>(
          std::clamp<std::int64_t>(timers_.begin()->first - SenderNowMillis(), 0, 1000));
    }
    curl_multi_poll(multi, nullptr, 0, wait, nullptr);
  }
  // Stopping: transfers under way are dropped (their events are sent again
  // after the restart); what was delivered is kept.
  for (auto& [id, delivery] : deliveries_) {
    if (delivery.dirty) Save(id, delivery);
  }
  for (Transfer* transfer : transfers_) {
    curl_multi_remove_handle(multi, transfer->easy);
    delete transfer;
  }
  transfers_.clear();
  for (void* handle : idle_handles_) curl_easy_cleanup(static_cast<CURL*>(handle));
  idle_handles_.clear();
}

}  // namespace ringwell::api
