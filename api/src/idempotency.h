// Idempotency-Key: a client that sends the header with a POST and sends the
// same POST again (after a timeout, a lost connection, a restart of the API)
// gets the first answer again instead of a second request. Keys belong to the
// token that sent them and are kept for 24 hours, in memory and in
// Events/idempotency.jsonl below the storage root (one line per answer, the
// key and body stored as SHA-256 digests; rewritten without expired lines at
// start), so they outlive a restart. A key sent again with another body is
// refused (422); while the first request is still being answered, a second
// one with its key gets 409. Only final answers are kept (2xx and 4xx other
// than 409 and 429), so a failure of the server can be retried.
//
// Thread-safety: every method may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace ringwell::api {

class IdempotencyStore {
 public:
  struct Answer {
    int status = 0;
    std::string body;
    std::string location;
  };
  enum class Claim { kNew, kReplay, kOtherBody, kInProgress };

  explicit IdempotencyStore(std::string path);
  // Reads the kept answers, dropping expired ones.
  void Load();

  // Claims `key` of token `owner` for a request with `body`; kReplay fills
  // `answer` with the first answer.
  Claim Begin(const std::string& owner, const std::string& key, const std::string& body,
              Answer* answer);
  // The answer to the claimed key (kept when final, else the claim is dropped).
  void Finish(const std::string& owner, const std::string& key, const Answer& answer);

 private:
  struct Entry {
    std::string body_digest;
    Answer answer;  // status 0: in progress
    std::int64_t time_millis = 0;
  };
  static std::string Digest(const std::string& text);
  static std::string KeyOf(const std::string& owner, const std::string& key);
  void Expire(std::int64_t now_millis);

  const std::string path_;
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace ringwell::api
