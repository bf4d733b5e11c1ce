#include "token_file.h"

#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::api {
namespace {

constexpr std::size_t kIdLength = 8;
constexpr char kKeyedPrefix[] = "$blake2b-keyed$";

std::string Base64(const std::string& bytes) {
  std::string text(
      sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::optional<std::string> FromBase64(const std::string& text) {
  std::string bytes(text.size(), '\0');
  std::size_t length = 0;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                        text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0) {
    return std::nullopt;
  }
  bytes.resize(length);
  return bytes;
}

std::string NewKey() {
  std::string key(crypto_generichash_KEYBYTES, '\0');
  randombytes_buf(key.data(), key.size());
  return key;
}
constexpr char kIdLetters[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";

std::string NowUtc() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool ValidName(const std::string& name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
  });
}

bool Save(const std::string& path, const std::string& key, const std::vector<StoredToken>& tokens,
          std::string* problem) {
  nlohmann::json list = nlohmann::json::array();
  for (const StoredToken& token : tokens) {
    list.push_back({{"name", token.name},
                    {"id", token.id},
                    {"scopes", token.scopes},
                    {"hash", token.hash},
                    {"created", token.created}});
  }
  nlohmann::json content = {{"format", 1}, {"tokens", list}};
  if (!key.empty()) content["key"] = Base64(key);
  const std::string text = content.dump(2) + "\n";
  // The owner stays: an existing file's, else (for root) its directory's.
  struct stat owner {};
  if (::stat(path.c_str(), &owner) != 0) {
    const std::string directory = DirectoryOf(path).empty() ? "." : DirectoryOf(path);
    if (::stat(directory.c_str(), &owner) != 0) owner = {};
  }
  const HRESULT hr = ReplaceFileWith(path, [&](int fd) -> HRESULT {
    if (::fchmod(fd, 0600) != 0) return HresultFromErrno(errno);
    if (::geteuid() == 0 && owner.st_uid != 0 && ::fchown(fd, owner.st_uid, owner.st_gid) != 0) {
      return HresultFromErrno(errno);
    }
    return WriteAll(fd, text) ? S_OK : HresultFromErrno(errno);
  });
  if (Failed(hr)) *problem = "cannot write " + path + ": " + ErrorText(hr);
  return Succeeded(hr);
}

// Runs `change` on the tokens of `path` under the file's lock and saves them.
// `change` gets the file's key, made when the file has none.
template <class Change>
bool Edit(const std::string& path, std::string* problem, Change change) {
  FileLock lock;
  if (const HRESULT hr = FileLock::Acquire(path, &lock); Failed(hr)) {
    *problem = "cannot lock " + path + ": " + ErrorText(hr);
    return false;
  }
  std::vector<StoredToken> tokens;
  std::string key;
  if (!LoadTokens(path, &tokens, problem, &key)) return false;
  if (key.empty()) key = NewKey();
  if (!change(tokens, key)) return false;
  return Save(path, key, tokens, problem);
}

}  // namespace

bool LoadTokens(const std::string& path, std::vector<StoredToken>* tokens, std::string* problem,
                std::string* key) {
  tokens->clear();
  if (key != nullptr) key->clear();
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return true;
    *problem = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if ((status.st_mode & 077) != 0) {
    *problem = path + " may be read by others than its owner (mode " +
               std::to_string((status.st_mode >> 6) & 7) +
               std::to_string((status.st_mode >> 3) & 7) + std::to_string(status.st_mode & 7) +
               "); chmod 600 " + path;
    return false;
  }
  std::string text;
  if (const HRESULT hr = ReadWholeFile(path, &text); Failed(hr)) {
    *problem = "cannot read " + path + ": " + ErrorText(hr);
    return false;
  }
  const auto content = nlohmann::json::parse(text, nullptr, false);
  try {
    if (content.value("format", 0) != 1) throw std::runtime_error("not of format 1");
    if (content.contains("key")) {
      const auto bytes = FromBase64(content.at("key").get<std::string>());
      if (!bytes || bytes->size() != crypto_generichash_KEYBYTES) {
        throw std::runtime_error("its key is not 32 bytes in base64url");
      }
      if (key != nullptr) *key = *bytes;
    }
    for (const auto& entry : content.at("tokens")) {
      tokens->push_back({entry.at("name").get<std::string>(), entry.at("id").get<std::string>(),
                         entry.at("scopes").get<std::vector<std::string>>(),
                         entry.at("hash").get<std::string>(), entry.value("created", "")});
    }
  } catch (const std::exception& e) {
    *problem = path + " is not a token file: " + e.what();
    return false;
  }
  return true;
}

bool AddToken(const std::string& path, const std::string& name,
              const std::vector<std::string>& scopes, std::string* token, std::string* problem) {
  if (!ValidName(name)) {
    *problem =
        "a token name is 1 to 64 letters, digits, \"-\", \"_\" or \".\", not \"" + name + "\"";
    return false;
  }
  for (const std::string& scope : scopes) {
    if (std::find(std::begin(kScopes), std::end(kScopes), scope) == std::end(kScopes)) {
      *problem = "unknown scope \"" + scope + "\" (submit, read, cancel, respond)";
      return false;
    }
  }
  if (scopes.empty()) {
    *problem = "a token needs at least one scope (--scope submit,read,cancel)";
    return false;
  }
  return Edit(path, problem, [&](std::vector<StoredToken>& tokens, const std::string& key) {
    if (std::any_of(tokens.begin(), tokens.end(), [&](auto& t) { return t.name == name; })) {
      *problem = "there is a token named " + name + " already (token revoke " + name + " first)";
      return false;
    }
    std::string id;
    do {
      id.clear();
      for (std::size_t i = 0; i < kIdLength; ++i) {
        id += kIdLetters[randombytes_uniform(sizeof kIdLetters - 1)];
      }
    } while (std::any_of(tokens.begin(), tokens.end(), [&](auto& t) { return t.id == id; }));
    unsigned char secret[32];
    randombytes_buf(secret, sizeof secret);
    char encoded[sodium_base64_ENCODED_LEN(32, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
    sodium_bin2base64(encoded, sizeof encoded, secret, sizeof secret,
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    sodium_memzero(secret, sizeof secret);
    *token = "rw_" + id + "_" + encoded;
    tokens.push_back({name, id, scopes, KeyedHash(key, *token), NowUtc()});
    return true;
  });
}

bool RevokeToken(const std::string& path, const std::string& name, std::string* problem) {
  return Edit(path, problem, [&](std::vector<StoredToken>& tokens, const std::string&) {
    const auto gone =
        std::remove_if(tokens.begin(), tokens.end(), [&](auto& t) { return t.name == name; });
    if (gone == tokens.end()) {
      *problem = "there is no token named " + name + " in " + path;
      return false;
    }
    tokens.erase(gone, tokens.end());
    return true;
  });
}

std::string KeyedHash(const std::string& key, std::string_view token) {
  std::string digest(crypto_generichash_BYTES, '\0');
  crypto_generichash(reinterpret_cast<unsigned char*>(digest.data()), digest.size(),
                     reinterpret_cast<const unsigned char*>(token.data()), token.size(),
                     reinterpret_cast<const unsigned char*>(key.data()), key.size());
  return kKeyedPrefix + Base64(digest);
}

bool IsPasswordHash(const std::string& hash) { return hash.rfind("$argon2", 0) == 0; }

bool UpgradeToken(const std::string& path, std::string_view token, std::string* problem) {
  const std::string_view id = TokenId(token);
  return Edit(path, problem, [&](std::vector<StoredToken>& tokens, const std::string& key) {
    for (StoredToken& stored : tokens) {
      if (stored.id == id && IsPasswordHash(stored.hash)) {
        stored.hash = KeyedHash(key, token);
        return true;
      }
    }
    *problem = "no token with the ID " + std::string(id) + " waits for its new hash";
    return false;
  });
}

std::string_view TokenId(std::string_view token) {
  if (token.size() < 4 + kIdLength || token.substr(0, 3) != "rw_" || token[3 + kIdLength] != '_') {
    return {};
  }
  return token.substr(3, kIdLength);
}

}  // namespace ringwell::api
