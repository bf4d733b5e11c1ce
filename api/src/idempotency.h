// Idempotency-Key: a client that sends the header with a POST and sends the
// same POST again (after a timeout, a lost connection, a restart of the API)
// gets the first answer again instead of a second request. Keys belong to the
// token that sent them and are kept for 24 hours, in memory and in
// Events/idempotency.jsonl below the storage root (one line per answer, the
// key and body stored as SHA-256 digests; rewritten without expired lines at
// start), so they outlive a restart. A key sent again with another body is
// refused (422); while the first request is still being answered, a second
// one with its key gets 409. Only final answers are kept (2xx and 4xx other
// than 409 and 429), so a failure of the server can be retried; a request
// that fails in any other way (an unexpected error) releases its key too.
//
// Bounded: at most `max_entries` keys are kept (the oldest go first) and none
// longer than 24 hours; the file is rewritten without what was dropped once
// it holds twice as many lines as there are keys.
//
// Several instances on one storage root (ShareRoot) share the keys: each
// decides under its byte of Events/.lock, after reading the lines the others
// appended to the file since it last read it (all of it again when another
// instance rewrote it), and appends what it decided there and then: a claim
// (status 0), the answer, or the claim's release. A claim of another
// instance holds its key for `claim_for` at most (an instance that died in
// the middle of a request does not hold it for ever); the file then keeps
// the claims too when it is rewritten.
//
// Thread-safety: every method may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "file_tail.h"
#include "ringwell/common/thread_annotations.h"

namespace ringwell::api {

class IdempotencyStore {
 public:
  struct Answer {
    int status = 0;
    std::string body;
    std::string location;
  };
  enum class Claim { kNew, kReplay, kOtherBody, kInProgress };

  explicit IdempotencyStore(std::string path, std::size_t max_entries = 100000,
                            std::chrono::milliseconds keep = std::chrono::hours(24),
                            std::chrono::milliseconds claim_for = std::chrono::minutes(2));
  // The file is shared with other instances; called before Load.
  void ShareRoot() { shared_ = true; }
  // Reads the kept answers, dropping expired ones.
  void Load();

  // Claims `key` of token `owner` for a request with `body`; kReplay fills
  // `answer` with the first answer.
  Claim Begin(const std::string& owner, const std::string& key, const std::string& body,
              Answer* answer);
  // The answer to the claimed key (kept when final, else the claim is dropped).
  void Finish(const std::string& owner, const std::string& key, const Answer& answer);
  // Drops the claim of a request that ended without an answer to keep.
  void Release(const std::string& owner, const std::string& key);
  std::size_t Size();

 private:
  struct Entry {
    std::string body_digest;
    Answer answer;  // status 0: in progress
    std::int64_t time_millis = 0;
    std::list<std::string>::iterator age;  // its place in ages_
  };
  static std::string Digest(const std::string& text);
  static std::string KeyOf(const std::string& owner, const std::string& key);
  static std::string Line(const std::string& id, const Entry& entry);
  void Expire(std::int64_t now_millis) RINGWELL_REQUIRES(mutex_);
  void Forget(const std::string& id) RINGWELL_REQUIRES(mutex_);
  void Rewrite() RINGWELL_REQUIRES(mutex_);
  // On a shared root, under the file's lock: the lines the other instances
  // appended since the last reading, and a line of this instance appended.
  void Follow(std::int64_t now_millis) RINGWELL_REQUIRES(mutex_);
  void Take(const std::string& line, std::int64_t now_millis) RINGWELL_REQUIRES(mutex_);
  void Append(const std::string& line) RINGWELL_REQUIRES(mutex_);
  void Compact() RINGWELL_REQUIRES(mutex_);

  const std::string path_;
  const std::size_t max_entries_;
  const std::int64_t keep_millis_;
  const std::int64_t claim_millis_;
  bool shared_ = false;
  Mutex mutex_;
  std::unordered_map<std::string, Entry> entries_ RINGWELL_GUARDED_BY(mutex_);
  std::list<std::string> ages_ RINGWELL_GUARDED_BY(mutex_);  // the keys, oldest first
  std::size_t lines_ RINGWELL_GUARDED_BY(mutex_) = 0;        // lines in the file
  // On a shared root: the keys this instance claimed and has not answered
  // yet, and how far the file is read.
  std::unordered_set<std::string> own_ RINGWELL_GUARDED_BY(mutex_);
  FileTail tail_ RINGWELL_GUARDED_BY(mutex_);
};

}  // namespace ringwell::api
