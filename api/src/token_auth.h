// Checks presented bearer tokens against the token file. Argon2id is slow on
// purpose (tens of milliseconds), so each token is verified once: a verified
// token is remembered in memory under a keyed hash of it (BLAKE2b with a key
// made at start, never the token itself) and later requests with it cost one
// hash and one constant-time comparison. A token that fails is remembered
// as failing for a minute, so guessing costs the guesser, not the server.
// At most two Argon2id checks run at once.
//
// The file is looked at again (stat) at most once a second; when it changed,
// everything remembered is forgotten, so a revoked token stops working within
// a second.
//
// Thread-safety: Verify may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <semaphore>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "token_file.h"

namespace ringwell::api {

struct Identity {
  std::string name;
  std::vector<std::string> scopes;
  bool Has(std::string_view scope) const;
};

class TokenAuthenticator {
 public:
  explicit TokenAuthenticator(std::string path);

  // Loads the file now; false with `problem` when it cannot be used.
  bool Load(std::string* problem);
  // The identity of `token`, or nullopt for a token that is unknown, revoked
  // or malformed.
  std::optional<Identity> Verify(std::string_view token);

 private:
  struct Remembered {
    std::optional<Identity> identity;  // nullopt: the token failed
    std::chrono::steady_clock::time_point until;
  };
  using Digest = std::string;  // 32 bytes

  Digest DigestOf(std::string_view token) const;
  // Reads the token file again when it changed, at most once a second unless
  // `now_anyway`.
  void ReloadIfChanged(bool now_anyway = false);

  const std::string path_;
  unsigned char key_[32];
  std::counting_semaphore<2> hashing_{2};

  std::shared_mutex mutex_;  // guards what follows
  std::vector<StoredToken> tokens_;
  std::unordered_map<Digest, Remembered> remembered_;
  struct stat_stamp {
    long long ino = 0, size = 0, mtime_ns = 0;
  } stamp_;
  std::chrono::steady_clock::time_point next_look_{};
};

}  // namespace ringwell::api
