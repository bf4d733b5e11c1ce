// The API's bearer tokens as they are kept: a JSON file, mode 0600, owned by
// the service user, holding a random key of the file and for each token its
// name, a short public ID, its scopes and a keyed hash of the whole token
// (BLAKE2b keyed with the file's key, libsodium's crypto_generichash); never
// the token itself.
//
//   {"format": 1, "key": "<32 bytes, base64url>", "tokens": [{"name": "ci",
//     "id": "Q7PXK2MA", "scopes": ["submit", "read"],
//     "hash": "$blake2b-keyed$<32 bytes, base64url>",
//     "created": "2026-12-07T09:00:00Z"}]}
//
// A token reads "rw_<ID>_<secret>" (the secret: 32 random bytes, base64url);
// the ID tells which hash to check it against. A secret of 256 random bits
// needs no slow hash: nobody can try enough of them, so checking one costs a
// microsecond. Files written before hold Argon2id password hashes
// ("$argon2id$..."): they are still read, and such a token, once presented
// and verified, has its entry rewritten in the keyed form (UpgradeToken).
// `ringwell-api token add` prints a new token once.
//
// Thread-safety: the functions may be called from any thread; writers of one
// file exclude each other with a lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ringwell/common/hresult.h"

namespace ringwell::api {

inline constexpr const char* kScopes[] = {"submit", "read", "cancel", "respond"};

struct StoredToken {
  std::string name;
  std::string id;
  std::vector<std::string> scopes;
  std::string hash;
  std::string created;
};

// The tokens of `path`; an empty list for a missing file. Fails with `problem`
// set for a file that cannot be read or is malformed, and for one that others
// than its owner may read.
// `key`, when given, receives the file's key (32 bytes; empty for a file
// without one).
bool LoadTokens(const std::string& path, std::vector<StoredToken>* tokens, std::string* problem,
                std::string* key = nullptr);

// Adds a token named `name` (letters, digits, "-", "_", "."; not taken) with
// `scopes` (each of kScopes) and returns it in `token`. A new file gets mode
// 0600 and, when made by root, the owner of its directory.
bool AddToken(const std::string& path, const std::string& name,
              const std::vector<std::string>& scopes, std::string* token, std::string* problem);
// Removes the token named `name`; false with `problem` when there is none.
bool RevokeToken(const std::string& path, const std::string& name, std::string* problem);

// The hash kept of `token` under the file key `key` ("$blake2b-keyed$...").
std::string KeyedHash(const std::string& key, std::string_view token);
// Whether `hash` is an Argon2id password hash of a file written before.
bool IsPasswordHash(const std::string& hash);
// Rewrites the entry with the ID of `token` (which the caller verified) with
// the keyed hash of `token`, giving the file a key when it has none.
bool UpgradeToken(const std::string& path, std::string_view token, std::string* problem);

// The ID part of a presented token ("rw_<ID>_..."), or empty.
std::string_view TokenId(std::string_view token);

}  // namespace ringwell::api
