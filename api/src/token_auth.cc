#include "token_auth.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>

namespace ringwell::api {
namespace {

constexpr std::size_t kMaxFailedPasswords = 4096;
constexpr auto kLookInterval = std::chrono::seconds(1);
// What an unknown ID's token is compared with: no keyed hash looks like it.
constexpr char kNoHash[] = "$blake2b-keyed$AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";

}  // namespace

TokenAuthenticator::TokenAuthenticator(std::string path) : path_(std::move(path)) {}

bool TokenAuthenticator::Load(std::string* problem) {
  std::vector<StoredToken> tokens;
  std::string key;
  if (!LoadTokens(path_, &tokens, problem, &key)) return false;
  if (key.empty()) {
    key.assign(crypto_generichash_KEYBYTES, '\0');
    randombytes_buf(key.data(), key.size());
  }
  struct stat status {};
  FileStamp stamp;
  if (::stat(path_.c_str(), &status) == 0) stamp = StampOf(status);
  std::unordered_map<std::string, StoredToken> by_id;
  for (StoredToken& token : tokens) by_id.emplace(token.id, std::move(token));
  WriterLock lock(mutex_);
  tokens_ = std::move(by_id);
  key_ = std::move(key);
  stamp_ = stamp;
  next_look_ = std::chrono::steady_clock::now() + kLookInterval;
  return true;
}

void TokenAuthenticator::ReloadIfChanged(bool now_anyway) {
  const auto now = std::chrono::steady_clock::now();
  if (!now_anyway) {
    ReaderLock lock(mutex_);
    if (now < next_look_) return;
  }
  struct stat status {};
  FileStamp stamp;
  if (::stat(path_.c_str(), &status) == 0) stamp = StampOf(status);
  {
    WriterLock lock(mutex_);
    next_look_ = now + kLookInterval;
    if (stamp == stamp_) return;
  }
  // A file that became unusable keeps the tokens known so far working; its
  // problem shows in ringwell-setup --check and at the next start.
  std::string problem;
  if (!Load(&problem)) {
    WriterLock lock(mutex_);
    stamp_ = stamp;
  }
}

std::optional<Identity> TokenAuthenticator::Check(std::string_view token, StoredToken* password) {
  ReaderLock lock(mutex_);
  const std::string hash = KeyedHash(key_, token);
  const auto found = tokens_.find(std::string(TokenId(token)));
  const bool known = found != tokens_.end();
  if (known && IsPasswordHash(found->second.hash)) {
    *password = found->second;
    return std::nullopt;
  }
  const std::string& stored = known ? found->second.hash : std::string(kNoHash);
  const bool same =
      stored.size() == hash.size() && sodium_memcmp(stored.data(), hash.data(), hash.size()) == 0;
  if (known && same) return Identity{found->second.name, found->second.scopes};
  return std::nullopt;
}

std::optional<Identity> TokenAuthenticator::CheckPassword(std::string_view token,
                                                          const StoredToken& stored) {
  std::string failure_key;
  {
    ReaderLock lock(mutex_);
    failure_key = KeyedHash(key_, token);
  }
  MutexLock lock(password_mutex_);
  const auto failed = failed_index_.find(failure_key);
  if (failed != failed_index_.end()) {
    failed_.splice(failed_.begin(), failed_, failed->second);
    return std::nullopt;
  }
  if (crypto_pwhash_str_verify(stored.hash.c_str(), token.data(), token.size()) != 0) {
    failed_.push_front(failure_key);
    failed_index_[failure_key] = failed_.begin();
    if (failed_.size() > kMaxFailedPasswords) {
      failed_index_.erase(failed_.back());
      failed_.pop_back();
    }
    return std::nullopt;
  }
  // Verified: the entry gets its keyed hash, and the file is read again.
  std::string problem;
  if (UpgradeToken(path_, token, &problem)) Load(&problem);
  return Identity{stored.name, stored.scopes};
}

std::optional<Identity> TokenAuthenticator::Verify(std::string_view token) {
  if (token.empty() || token.size() > 256) return std::nullopt;
  ReloadIfChanged();
  StoredToken password;
  if (auto identity = Check(token, &password)) return identity;
  if (password.hash.empty()) {
    // A token made a moment ago (ringwell-api token add, then at once curl)
    // is in the file before the next regular look: a failing one looks now.
    ReloadIfChanged(/*now_anyway=*/true);
    if (auto identity = Check(token, &password)) return identity;
  }
  if (!password.hash.empty()) return CheckPassword(token, password);
  return std::nullopt;
}

}  // namespace ringwell::api
