// One page on its way through libcurl: an easy handle set up for one
// delivery channel, and what the channel's reply means once the transfer has
// ended. CurlPager runs the transfers of a batch side by side; the channels
// (http_channel.h, mail_channel.h) fill in the requests.
//
// Every transfer verifies TLS certificates (against the system's trusted
// certificates, or the service's ca_file), follows no redirects, ends after
// the configured timeout, and speaks only its channel's protocols.
//
// Thread-safety: a transfer belongs to the one thread that runs it.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

namespace ringwell::host::pager {

// How a page ended: sent or not, why (the Error of a failed page), and the
// protocol lines for the report (the channel's reply among them).
struct PageOutcome {
  bool sent = false;
  std::string error;
  std::vector<std::string> protocol;
};

class Transfer {
 public:
  virtual ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // The easy handle (owned by this object) to add to a multi handle.
  CURL* easy() const { return easy_.get(); }
  // What the finished transfer means; `code` is the transfer's result.
  virtual PageOutcome Finish(CURLcode code) = 0;

 protected:
  // Sets the options every channel shares; `protocols` as for
  // CURLOPT_PROTOCOLS_STR ("http,https").
  Transfer(const char* protocols, double timeout_seconds, const std::string& ca_file);

  // Appends a header line to the list handed to libcurl (kept until the end).
  curl_slist* AddTo(curl_slist* list, const std::string& line);
  void Set(CURLoption option, curl_slist* list);
  // The text of a failed transfer: "No reply within N s (may have been
  // delivered)" for a timeout (the peer may have taken the page and be slow
  // to say so), otherwise libcurl's description.
  std::string FailureText(CURLcode code) const;

  const double timeout_seconds_;

 private:
  struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
  };
  struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  std::unique_ptr<CURL, EasyCleanup> easy_;
  std::vector<std::unique_ptr<curl_slist, ListCleanup>> lists_;
  char error_[CURL_ERROR_SIZE] = {};
};

// A single line of at most `limit` bytes: line breaks and tabs become spaces.
std::string OneLine(std::string text, std::size_t limit = 300);

// "scheme://host[:port]" of a URL (no user, path or query).
std::string UrlOrigin(const std::string& url);

}  // namespace ringwell::host::pager
