// Checks presented bearer tokens against the token file (token_file.h). A
// token is found by its ID and checked by one keyed BLAKE2b hash and a
// constant-time comparison, a microsecond's work; a token whose ID is unknown
// is hashed and compared all the same (against a hash no token has), so an
// unknown name and a wrong secret cost the same and answer the same.
//
// A token file written before keeps Argon2id hashes. Such a token is verified
// the slow way once (one verification at a time; a failing one is remembered
// in a bounded LRU, so the same wrong token costs nothing again), and its
// entry is then rewritten in the keyed form: from then on it is as fast as a
// new one.
//
// The file is looked at again (stat) at most once a second, and whenever a
// token fails (a token made a moment ago works at once); when it changed it
// is read again, so a revoked token stops working within a second.
//
// Thread-safety: Verify may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "http_types.h"
#include "ringwell/common/file_stamp.h"
#include "ringwell/common/thread_annotations.h"
#include "token_file.h"

namespace ringwell::api {

class TokenAuthenticator {
 public:
  explicit TokenAuthenticator(std::string path);

  // Loads the file now; false with `problem` when it cannot be used.
  bool Load(std::string* problem);
  // The identity of `token`, or nullopt for a token that is unknown, revoked
  // or malformed.
  std::optional<Identity> Verify(std::string_view token);

 private:
  // The identity of `token` by the tokens known now; `password` is set to
  // the entry's Argon2id hash when the token can be told only the slow way.
  std::optional<Identity> Check(std::string_view token, StoredToken* password);
  std::optional<Identity> CheckPassword(std::string_view token, const StoredToken& stored);
  // Reads the token file again when it changed, at most once a second unless
  // `now_anyway`.
  void ReloadIfChanged(bool now_anyway = false);

  const std::string path_;

  SharedMutex mutex_;
  // the file's, or a random one for a file without
  std::string key_ RINGWELL_GUARDED_BY(mutex_);
  std::unordered_map<std::string, StoredToken> tokens_ RINGWELL_GUARDED_BY(mutex_);  // by ID
  FileStamp stamp_ RINGWELL_GUARDED_BY(mutex_);
  std::chrono::steady_clock::time_point next_look_ RINGWELL_GUARDED_BY(mutex_) = {};

  // Argon2id verifications, one at a time, and the tokens that failed one
  // (their keyed hash, most recent first).
  Mutex password_mutex_;
  std::list<std::string> failed_ RINGWELL_GUARDED_BY(password_mutex_);
  std::unordered_map<std::string, std::list<std::string>::iterator> failed_index_
      RINGWELL_GUARDED_BY(password_mutex_);
};

}  // namespace ringwell::api
