#include "idempotency.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <nlohmann/json.hpp>
#include <vector>

#include "ringwell/common/directory_lock.h"
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
                                   std::chrono::milliseconds keep,
                                   std::chrono::milliseconds claim_for)
    : path_(std::move(path)),
      max_entries_(std::max<std::size_t>(max_entries, 1)),
      keep_millis_(keep.count()),
      claim_millis_(claim_for.count()),
      tail_(path_) {}

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
  if (shared_) {
    const std::int64_t now = NowMillis();
    MutexLock lock(mutex_);
    DirectoryLock file_lock;
    if (Failed(DirectoryLock::Acquire(path_, &file_lock))) return Follow(now);
    Follow(now);
    if (lines_ > entries_.size()) Compact();  // without what expired
    return;
  }
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
  DirectoryLock file_lock;
  // Without the file's lock (the file system refuses it), an instance
  // decides on what it read last.
  if (shared_ && Succeeded(DirectoryLock::Acquire(path_, &file_lock))) Follow(now);
  Expire(now);
  const auto known = entries_.find(id);
  if (known != entries_.end()) {
    if (known->second.body_digest != digest) return Claim::kOtherBody;
    if (known->second.answer.status != 0) {
      *answer = known->second.answer;
      return Claim::kReplay;
    }
    if (!shared_ || own_.contains(id) || now - known->second.time_millis < claim_millis_) {
      return Claim::kInProgress;
    }
    Forget(id);  // the claim of an instance that did not answer in time (it died)
  }
  ages_.push_back(id);
  Entry& entry = entries_[id] = Entry{digest, {}, now, std::prev(ages_.end())};
  if (shared_) {
    own_.insert(id);
    Append(Line(id, entry));
  }
  Expire(now);
  return Claim::kNew;
}

void IdempotencyStore::Release(const std::string& owner, const std::string& key) {
  const std::string id = KeyOf(owner, key);
  MutexLock lock(mutex_);
  if (!shared_) {
    const auto known = entries_.find(id);
    if (known != entries_.end() && known->second.answer.status == 0) Forget(id);
    return;
  }
  if (own_.erase(id) == 0) return;  // answered (or never claimed here)
  DirectoryLock file_lock;
  if (Succeeded(DirectoryLock::Acquire(path_, &file_lock))) Follow(NowMillis());
  const auto known = entries_.find(id);
  if (known == entries_.end() || known->second.answer.status != 0) return;
  Forget(id);
  Append(nlohmann::json{{"key", id}, {"released", true}}.dump() + "\n");
}

void IdempotencyStore::Finish(const std::string& owner, const std::string& key,
                              const Answer& answer) {
  const std::string id = KeyOf(owner, key);
  MutexLock lock(mutex_);
  if (shared_) {
    if (own_.erase(id) == 0) return;
    DirectoryLock file_lock;
    const bool locked = Succeeded(DirectoryLock::Acquire(path_, &file_lock));
    if (locked) Follow(NowMillis());
    const auto known = entries_.find(id);
    if (known == entries_.end() || known->second.answer.status != 0) return;
    if (!Final(answer.status)) {
      Forget(id);
      Append(nlohmann::json{{"key", id}, {"released", true}}.dump() + "\n");
      return;
    }
    known->second.answer = answer;
    Append(Line(id, known->second));
    if (locked && lines_ >= 2 * entries_.size() + 1000) Compact();
    return;
  }
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

void IdempotencyStore::Follow(std::int64_t now_millis) {
  FileTail::Lines read = tail_.Read();
  if (read.anew) {
    // Rewritten by another instance: it holds all that is kept, the claims
    // of this instance too.
    entries_.clear();
    ages_.clear();
    lines_ = 0;
  }
  for (const std::string& line : read.lines) {
    Take(line, now_millis);
    ++lines_;
  }
  Expire(now_millis);
}

void IdempotencyStore::Take(const std::string& line, std::int64_t now_millis) {
  const auto parsed = nlohmann::json::parse(line, nullptr, false);
  if (!parsed.is_object()) return;
  const std::string id = parsed.value("key", "");
  if (id.empty()) return;
  const auto known = entries_.find(id);
  if (parsed.value("released", false)) {
    if (known != entries_.end() && known->second.answer.status == 0) Forget(id);
    return;
  }
  Entry entry{parsed.value("bodyDigest", ""),
              {parsed.value("status", 0), parsed.value("body", ""), parsed.value("location", "")},
              parsed.value("timeMillis", std::int64_t{0}),
              {}};
  const std::int64_t age = now_millis - entry.time_millis;
  const bool claim = entry.answer.status == 0;
  if (claim && known != entries_.end() && known->second.answer.status == 0 &&
      known->second.body_digest == entry.body_digest && own_.contains(id)) {
    return;  // this instance's own claim, read again
  }
  Forget(id);  // a later life of the key (its claimant took the earlier one as gone)
  if (age >= keep_millis_ || (claim && age >= claim_millis_ && !own_.contains(id))) return;
  ages_.push_back(id);
  entry.age = std::prev(ages_.end());
  entries_[id] = std::move(entry);
}

void IdempotencyStore::Append(const std::string& line) {
  UniqueFd fd;
  if (Succeeded(OpenFile(path_, O_WRONLY | O_APPEND | O_CREAT, 0660, &fd)) &&
      WriteAll(fd.get(), tail_.Unfinished() ? "\n" + line : line)) {
    ++lines_;
  }
  tail_.Skip();
}

void IdempotencyStore::Compact() {
  std::string kept;
  lines_ = 0;
  for (const std::string& id : ages_) {
    kept += Line(id, entries_.at(id));  // the claims too: they are the others' to see
    ++lines_;
  }
  WriteFileAtomically(path_, kept);
  tail_.Skip();
}

}  // namespace ringwell::api
