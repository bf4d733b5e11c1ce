#include "idempotency.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::api {
namespace {

constexpr std::int64_t kKeepMillis = 24LL * 3600 * 1000;
constexpr std::size_t kMaxEntries = 200000;

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

IdempotencyStore::IdempotencyStore(std::string path) : path_(std::move(path)) {}

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

void IdempotencyStore::Load() {
  std::string text;
  ReadWholeFile(path_, &text);
  const std::int64_t now = NowMillis();
  std::lock_guard lock(mutex_);
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const auto line = nlohmann::json::parse(text.substr(start, end - start), nullptr, false);
    if (!line.is_object()) continue;
    Entry entry{line.value("bodyDigest", ""),
                {line.value("status", 0), line.value("body", ""), line.value("location", "")},
                line.value("timeMillis", std::int64_t{0})};
    if (now - entry.time_millis < kKeepMillis && entry.answer.status != 0) {
      entries_[line.value("key", "")] = entry;
    }
  }
  // What is kept now, without the expired lines.
  std::string kept;
  for (const auto& [key, entry] : entries_) {
    kept += nlohmann::json{{"key", key},
                           {"bodyDigest", entry.body_digest},
                           {"status", entry.answer.status},
                           {"body", entry.answer.body},
                           {"location", entry.answer.location},
                           {"timeMillis", entry.time_millis}}
                .dump() +
            "\n";
  }
  WriteFileAtomically(path_, kept);
}

void IdempotencyStore::Expire(std::int64_t now_millis) {
  if (entries_.size() < kMaxEntries) return;
  std::erase_if(entries_, [&](const auto& item) {
    return item.second.answer.status != 0 && now_millis - item.second.time_millis >= kKeepMillis;
  });
}

IdempotencyStore::Claim IdempotencyStore::Begin(const std::string& owner, const std::string& key,
                                                const std::string& body, Answer* answer) {
  const std::string id = KeyOf(owner, key);
  const std::string digest = Digest(body);
  const std::int64_t now = NowMillis();
  std::lock_guard lock(mutex_);
  Expire(now);
  const auto known = entries_.find(id);
  if (known != entries_.end() && now - known->second.time_millis < kKeepMillis) {
    if (known->second.body_digest != digest) return Claim::kOtherBody;
    if (known->second.answer.status == 0) return Claim::kInProgress;
    *answer = known->second.answer;
    return Claim::kReplay;
  }
  entries_[id] = Entry{digest, {}, now};
  return Claim::kNew;
}

void IdempotencyStore::Finish(const std::string& owner, const std::string& key,
                              const Answer& answer) {
  const std::string id = KeyOf(owner, key);
  std::lock_guard lock(mutex_);
  const auto known = entries_.find(id);
  if (known == entries_.end()) return;
  if (!Final(answer.status)) {
    entries_.erase(known);
    return;
  }
  known->second.answer = answer;
  const std::string line = nlohmann::json{{"key", id},
                                          {"bodyDigest", known->second.body_digest},
                                          {"status", answer.status},
                                          {"body", answer.body},
                                          {"location", answer.location},
                                          {"timeMillis", known->second.time_millis}}
                               .dump() +
                           "\n";
  UniqueFd fd;
  if (Succeeded(OpenFile(path_, O_WRONLY | O_APPEND | O_CREAT, 0660, &fd))) {
    WriteAll(fd.get(), line);
  }
}

}  // namespace ringwell::api
