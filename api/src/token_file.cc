#include "token_file.h"

#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "ringwell/common/files.h"
#include "ringwell/common/safe_files.h"

namespace ringwell::api {
namespace {

constexpr std::size_t kIdLength = 8;
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

bool Save(const std::string& path, const std::vector<StoredToken>& tokens, std::string* problem) {
  nlohmann::json list = nlohmann::json::array();
  for (const StoredToken& token : tokens) {
    list.push_back({{"name", token.name},
                    {"id", token.id},
                    {"scopes", token.scopes},
                    {"hash", token.hash},
                    {"created", token.created}});
  }
  const std::string text = nlohmann::json{{"format", 1}, {"tokens", list}}.dump(2) + "\n";
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
template <class Change>
bool Edit(const std::string& path, std::string* problem, Change change) {
  FileLock lock;
  if (const HRESULT hr = FileLock::Acquire(path, &lock); Failed(hr)) {
    *problem = "cannot lock " + path + ": " + ErrorText(hr);
    return false;
  }
  std::vector<StoredToken> tokens;
  if (!LoadTokens(path, &tokens, problem) || !change(tokens)) return false;
  return Save(path, tokens, problem);
}

}  // namespace

bool LoadTokens(const std::string& path, std::vector<StoredToken>* tokens, std::string* problem) {
  tokens->clear();
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
      *problem = "unknown scope \"" + scope + "\" (submit, read, cancel)";
      return false;
    }
  }
  if (scopes.empty()) {
    *problem = "a token needs at least one scope (--scope submit,read,cancel)";
    return false;
  }
  return Edit(path, problem, [&](std::vector<StoredToken>& tokens) {
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
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, token->data(), token->size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
      *problem = "not enough memory to hash the token";
      return false;
    }
    tokens.push_back({name, id, scopes, hash, NowUtc()});
    return true;
  });
}

bool RevokeToken(const std::string& path, const std::string& name, std::string* problem) {
  return Edit(path, problem, [&](std::vector<StoredToken>& tokens) {
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

std::string_view TokenId(std::string_view token) {
  if (token.size() < 4 + kIdLength || token.substr(0, 3) != "rw_" || token[3 + kIdLength] != '_') {
    return {};
  }
  return token.substr(3, kIdLength);
}

}  // namespace ringwell::api
