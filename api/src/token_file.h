// The API's bearer tokens as they are kept: a JSON file, mode 0600, owned by
// the service user, holding for each token its name, a short public ID, its
// scopes and a salted hash of the whole token (libsodium's crypto_pwhash_str,
// Argon2id); never the token itself.
//
//   {"format": 1, "tokens": [{"name": "ci", "id": "Q7PXK2MA",
//     "scopes": ["submit", "read"], "hash": "$argon2id$v=19$...",
//     "created": "2026-12-07T09:00:00Z"}]}
//
// A token reads "rw_<ID>_<secret>" (the secret: 32 random bytes, base64url);
// the ID tells which hash to check it against. `ringwell-api token add` prints
// a new token once.
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
bool LoadTokens(const std::string& path, std::vector<StoredToken>* tokens, std::string* problem);

// Adds a token named `name` (letters, digits, "-", "_", "."; not taken) with
// `scopes` (each of kScopes) and returns it in `token`. A new file gets mode
// 0600 and, when made by root, the owner of its directory.
bool AddToken(const std::string& path, const std::string& name,
              const std::vector<std::string>& scopes, std::string* token, std::string* problem);
// Removes the token named `name`; false with `problem` when there is none.
bool RevokeToken(const std::string& path, const std::string& name, std::string* problem);

// The ID part of a presented token ("rw_<ID>_..."), or empty.
std::string_view TokenId(std::string_view token);

}  // namespace ringwell::api
