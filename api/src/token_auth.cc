#include "token_auth.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>

namespace ringwell::api {
namespace {

constexpr std::size_t kMaxRemembered = 100000;
constexpr auto kFailureMemory = std::chrono::minutes(1);
constexpr auto kLookInterval = std::chrono::seconds(1);

}  // namespace

bool Identity::Has(std::string_view scope) const {
  return std::find(scopes.begin(), scopes.end(), scope) != scopes.end();
}

TokenAuthenticator::TokenAuthenticator(std::string path) : path_(std::move(path)) {
  crypto_generichash_keygen(key_);
}

bool TokenAuthenticator::Load(std::string* problem) {
  std::vector<StoredToken> tokens;
  if (!LoadTokens(path_, &tokens, problem)) return false;
  struct stat status {};
  stat_stamp stamp;
  if (::stat(path_.c_str(), &status) == 0) {
    stamp = {static_cast<long long>(status.st_ino), static_cast<long long>(status.st_size),
             status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec};
  }
  std::unique_lock lock(mutex_);
  tokens_ = std::move(tokens);
  remembered_.clear();
  stamp_ = stamp;
  next_look_ = std::chrono::steady_clock::now() + kLookInterval;
  return true;
}

void TokenAuthenticator::ReloadIfChanged(bool now_anyway) {
  const auto now = std::chrono::steady_clock::now();
  if (!now_anyway) {
    std::shared_lock lock(mutex_);
    if (now < next_look_) return;
  }
  struct stat status {};
  stat_stamp stamp;
  if (::stat(path_.c_str(), &status) == 0) {
    stamp = {static_cast<long long>(status.st_ino), static_cast<long long>(status.st_size),
             status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec};
  }
  {
    std::unique_lock lock(mutex_);
    next_look_ = now + kLookInterval;
    if (stamp.ino == stamp_.ino && stamp.size == stamp_.size && stamp.mtime_ns == stamp_.mtime_ns) {
      return;
    }
  }
  // A file that became unusable keeps the tokens known so far working; its
  // problem shows in ringwell-setup --check and at the next start.
  std::string problem;
  if (!Load(&problem)) {
    std::unique_lock lock(mutex_);
    stamp_ = stamp;
  }
}

TokenAuthenticator::Digest TokenAuthenticator::DigestOf(std::string_view token) const {
  Digest digest(crypto_generichash_BYTES, '\0');
  crypto_generichash(reinterpret_cast<unsigned char*>(digest.data()), digest.size(),
                     reinterpret_cast<const unsigned char*>(token.data()), token.size(), key_,
                     sizeof key_);
  return digest;
}

std::optional<Identity> TokenAuthenticator::Verify(std::string_view token) {
  if (token.empty() || token.size() > 256) return std::nullopt;
  ReloadIfChanged();
  const Digest digest = DigestOf(token);
  const auto now = std::chrono::steady_clock::now();
  {
    std::shared_lock lock(mutex_);
    // The map finds the entry by the keyed digest; the digest is compared
    // once more in constant time before it counts.
    const auto known = remembered_.find(digest);
    if (known != remembered_.end() &&
        sodium_memcmp(known->first.data(), digest.data(), digest.size()) == 0 &&
        (known->second.identity || now < known->second.until)) {
      return known->second.identity;
    }
  }
  std::optional<Identity> identity;
  StoredToken stored;
  const auto find = [&] {
    std::shared_lock lock(mutex_);
    const std::string_view id = TokenId(token);
    bool found = false;
    for (const StoredToken& candidate : tokens_) {
      if (!id.empty() && candidate.id.size() == id.size() &&
          sodium_memcmp(candidate.id.data(), id.data(), id.size()) == 0) {
        stored = candidate;
        found = true;
      }
    }
    return found;
  };
  // A token made a moment ago (ringwell-api token add, then at once curl) is
  // in the file before the next regular look: an unknown one looks now.
  bool found = find();
  if (!found) {
    ReloadIfChanged(/*now_anyway=*/true);
    found = find();
  }
  if (found) {
    hashing_.acquire();
    const bool matches =
        crypto_pwhash_str_verify(stored.hash.c_str(), token.data(), token.size()) == 0;
    hashing_.release();
    if (matches) identity = Identity{stored.name, stored.scopes};
  }
  std::unique_lock lock(mutex_);
  if (remembered_.size() >= kMaxRemembered) remembered_.clear();
  remembered_[digest] = {identity, now + kFailureMemory};
  return identity;
}

}  // namespace ringwell::api
