#include "pager/transfer.h"

#include <cmath>
#include <cstdio>
#include <new>

#include "ringwell/common/version.h"

namespace ringwell::host::pager {

Transfer::Transfer(const char* protocols, double timeout_seconds, const std::string& ca_file)
    : timeout_seconds_(timeout_seconds), easy_(curl_easy_init()) {
  if (!easy_) throw std::bad_alloc();
  CURL* easy = easy_.get();
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!ca_file.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file.c_str());
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::ceil(timeout_seconds * 1000)));
  const std::string agent = std::string("ringwell-host/") + kVersion;
  curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());  // libcurl copies strings
}

Transfer::~Transfer() = default;

curl_slist* Transfer::AddTo(curl_slist* list, const std::string& line) {
  curl_slist* longer = curl_slist_append(list, line.c_str());
  if (longer == nullptr) throw std::bad_alloc();
  return longer;
}

void Transfer::Set(CURLoption option, curl_slist* list) {
  lists_.emplace_back(list);
  curl_easy_setopt(easy_.get(), option, list);
}

std::string Transfer::FailureText(CURLcode code) const {
  if (code == CURLE_OPERATION_TIMEDOUT) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", timeout_seconds_);
    return std::string("No reply within ") + seconds + " s (may have been delivered)";
  }
  return OneLine(error_[0] != '\0' ? error_ : curl_easy_strerror(code));
}

std::string OneLine(std::string text, std::size_t limit) {
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.size() > limit) {
    text.resize(limit);
    // Never end inside a multi-byte character.
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
      text.pop_back();
    }
    if (!text.empty() && (static_cast<unsigned char>(text.back()) & 0x80) != 0) text.pop_back();
    text += "...";
  }
  return text;
}

std::string UrlOrigin(const std::string& url) {
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return "";
  std::size_t host_start = scheme_end + 3;
  std::size_t host_end = url.find_first_of("/?#", host_start);
  if (host_end == std::string::npos) host_end = url.size();
  const std::size_t at = url.rfind('@', host_end);
  if (at != std::string::npos && at >= host_start) host_start = at + 1;
  return url.substr(0, scheme_end + 3) + url.substr(host_start, host_end - host_start);
}

}  // namespace ringwell::host::pager
