#include "idempotency.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <nlohmann/json.hpp>
#include <vector>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::api {
namespace {

std::int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool Final(int status) {
  return (status >= 200 && status < 300) || (status >= 400 && status < 500 && status != 409 &&
                                             status != 429 && status != 401 && status != 403);
}

}  // namespace

IdempotencyStore::IdempotencyStore(std::string path, std::size_t max_entries,
                                   std::chrono::milliseconds keep)
    : path_(std::move(path)),
      max_entries_(std::max<std::size_t>(max_entries, 1)),
      keep_millis_(keep.count()) {}

std::string IdempotencyStore::Digest(const std::string& text) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  char hex[2 * sizeof digest + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

std::string IdempotencyStore::KeyOf(const std::string& owner, const std::string& key) {
  return Digest(owner + "\n" + key);
}

std::string IdempotencyStore::Line(const std::string& id, const Entry& entry) {
  return nlohmann::json{{"key", id},
                        {"bodyDigest", entry.body_digest},
                        {"status", entry.answer.status},
                        {"body", entry.answer.body},
                        {"location", entry.answer.location},
                        {"timeMillis", entry.time_millis}}
             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
         "\n";
}

void IdempotencyStore::Load() {
  std::string text;
  ReadWholeFile(path_, &text);
  const std::int64_t now = NowMillis();
  MutexLock lock(mutex_);
  std::vector<std::pair<std::string, Entry>> loaded;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const auto line = nlohmann::json::parse(text.substr(start, end - start), nullptr, false);
    if (!line.is_object()) continue;
    Entry entry{line.value("bodyDigest", ""),
                {line.value("status", 0), line.value("body", ""), line.value("location", "")},
                line.value("timeMillis", std::int64_t{0}),
                {}};
    if (now - entry.time_millis < keep_millis_ && entry.answer.status != 0) {
      loaded.emplace_back(line.value("key", ""), std::move(entry));
    }
  }
  std::stable_sort(loaded.begin(), loaded.end(), [](const auto& a, const auto& b) {
    return a.second.time_millis < b.second.time_millis;
  });
  for (auto& [id, entry] : loaded) {
    Forget(id);  // a key answered twice (an earlier life of it expired): the later answer
    ages_.push_back(id);
    entry.age = std::prev(ages_.end());
    entries_[id] = std::move(entry);
  }
  Expire(now);
  Rewrite();
}

void IdempotencyStore::Forget(const std::string& id) {
  const auto known = entries_.find(id);
  if (known == entries_.end()) return;
  ages_.erase(known->second.age);
  entries_.erase(known);
}

void IdempotencyStore::Expire(std::int64_t now_millis) {
  while (!ages_.empty()) {
    const auto oldest = entries_.find(ages_.front());
    if (entries_.size() <= max_entries_ && now_millis - oldest->second.time_millis < keep_millis_) {
      break;
    }
    entries_.erase(oldest);
    ages_.pop_front();
  }
}

void IdempotencyStore::Rewrite() {
  std::string kept;
  lines_ = 0;
  for (const std::string& id : ages_) {
    const Entry& entry = entries_.at(id);
    if (entry.answer.status == 0) continue;
    kept += Line(id, entry);
    ++lines_;
  }
  WriteFileAtomically(path_, kept);
}

std::size_t IdempotencyStore::Size() {
  MutexLock lock(mutex_);
  return entries_.size();
}

IdempotencyStore::Claim IdempotencyStore::Begin(const std::string& owner, const std::string& key,
                                                const std::string& body, Answer* answer) {
  const std::string id = KeyOf(owner, key);
  const std::string digest = Digest(body);
  const std::int64_t now = NowMillis();
  MutexLock lock(mutex_);
  Expire(now);
  const auto known = entries_.find(id);
  if (known != entries_.end()) {
    if (known->second.body_digest != digest) return Claim::kOtherBody;
    if (known->second.answer.status == 0) return Claim::kInProgress;
    *answer = known->second.answer;
    return Claim::kReplay;
  }
  ages_.push_back(id);
  entries_[id] = Entry{digest, {}, now, std::prev(ages_.end())};
  Expire(now);
  return Claim::kNew;
}

void IdempotencyStore::Release(const std::string& owner, const std::string& key) {
  const std::string id = KeyOf(owner, key);
  MutexLock lock(mutex_);
  const auto known = entries_.find(id);
  if (known != entries_.end() && known->second.answer.status == 0) Forget(id);
}

void IdempotencyStore::Finish(const std::string& owner, const std::string& key,
                              const Answer& answer) {
  const std::string id = KeyOf(owner, key);
  MutexLock lock(mutex_);
  const auto known = entries_.find(id);
  if (known == entries_.end()) return;
  if (!Final(answer.status)) {
    Forget(id);
    return;
  }
  known->second.answer = answer;
  if (lines_ >= 2 * entries_.size() + 1000) {
    Rewrite();  // what was dropped leaves the file too
    return;
  }
  UniqueFd fd;
  if (Succeeded(OpenFile(path_, O_WRONLY | O_APPEND | O_CREAT, 0660, &fd)) &&
      WriteAll(fd.get(), Line(id, known->second))) {
    ++lines_;
  }
}

}  // namespace ringwell::api
