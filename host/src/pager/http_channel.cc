#include "pager/http_channel.h"

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "ringwell/common/text.h"

namespace ringwell::host::pager {
namespace {

constexpr std::size_t kReplyKept = 300;

class HttpTransfer final : public Transfer {
 public:
  HttpTransfer(const ServiceConfig& service, const PageFields& page, const Secrets& secrets,
               double timeout_seconds)
      : Transfer("http,https", timeout_seconds, service.ca_file) {
    CURL* handle = easy();
    const std::string url = FillTemplate(service.url, page, secrets, Encoding::kUrl);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());

    curl_slist* headers = nullptr;
    bool has_content_type = false;
    bool has_idempotency_key = false;
    for (const auto& [name, value] : service.headers) {
      has_content_type = has_content_type || EqualsIgnoringCase(name, "Content-Type");
      has_idempotency_key = has_idempotency_key || EqualsIgnoringCase(name, "Idempotency-Key");
      headers = AddTo(headers, name + ": " + OneLine(FillTemplate(value, page, secrets), 8192));
    }
    if (service.body == BodyFormat::kJson) {
      nlohmann::ordered_json object = nlohmann::ordered_json::object();
      for (const auto& [name, value] : service.fields) {
        object[name] = FillTemplate(value, page, secrets);
      }
      // Invalid UTF-8 in a page is replaced rather than refused.
      body_ = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      if (!has_content_type) headers = AddTo(headers, "Content-Type: application/json");
    } else if (service.body == BodyFormat::kForm) {
      for (const auto& [name, value] : service.fields) {
        if (!body_.empty()) body_ += '&';
        body_ += UrlEncode(name) + '=' + UrlEncode(FillTemplate(value, page, secrets));
      }
      if (!has_content_type) {
        headers = AddTo(headers, "Content-Type: application/x-www-form-urlencoded");
      }
    }
    if (!has_idempotency_key) {
      headers =
          AddTo(headers, "Idempotency-Key: " + IdempotencyKey(page.id, page.number, service.name));
    }
    // No "Expect: 100-continue" round trip.
    headers = AddTo(headers, "Expect:");
    Set(CURLOPT_HTTPHEADER, headers);

    if (service.body != BodyFormat::kNone) {
      curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body_.c_str());
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
    }
    if (service.method == "GET" && service.body == BodyFormat::kNone) {
      curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else if (service.method != "POST") {
      curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, service.method.c_str());
    }
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &HttpTransfer::OnHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &HttpTransfer::OnBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    request_line_ = "Web hook " + service.method + " " + UrlOrigin(service.url);
  }

  PageOutcome Finish(CURLcode code) override {
    PageOutcome outcome;
    outcome.protocol.push_back(request_line_);
    long status = 0;
    curl_easy_getinfo(easy(), CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK) {
      outcome.error = FailureText(code);
      if (status != 0) outcome.error += " (HTTP " + std::to_string(status) + ")";
      outcome.protocol.push_back("Failed: " + outcome.error);
      return outcome;
    }
    std::string reply = "HTTP " + std::to_string(status);
    if (!reason_.empty()) reply += " " + reason_;
    outcome.protocol.push_back("Reply: " + reply);
    if (!reply_body_.empty()) outcome.protocol.push_back("Reply body: " + OneLine(reply_body_));
    outcome.sent = status >= 200 && status <= 299;
    if (!outcome.sent) outcome.error = reply;
    return outcome;
  }

 private:
  // Keeps the reason phrase of the last status line ("HTTP/1.1 500 Internal
  // Server Error"); a reply after "100 Continue" replaces the first.
  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
      auto* transfer = static_cast<HttpTransfer*>(self);
      transfer->reply_body_.clear();
      const std::size_t code = line.find(' ');
      const std::size_t reason = code == std::string_view::npos ? code : line.find(' ', code + 1);
      transfer->reason_ =
          reason == std::string_view::npos ? "" : OneLine(std::string(Trim(line.substr(reason))));
    }
    return size * count;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<HttpTransfer*>(self);
    const std::size_t room =
        kReplyKept + 1 - std::min(kReplyKept + 1, transfer->reply_body_.size());
    transfer->reply_body_.append(data, std::min(room, size * count));
    return size * count;
  }

  std::string body_;
  std::string request_line_;
  std::string reason_;
  std::string reply_body_;
};

}  // namespace

std::string IdempotencyKey(std::string_view id, std::string_view number, std::string_view service) {
  // Two 64-bit FNV-1a hashes of the page's identity, with different starts.
  auto hash = [&](std::uint64_t value) {
    for (std::string_view part : {id, number, service}) {
      for (const char c : part) {
        value = (value ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
      }
      value = (value ^ 0xFFu) * 0x100000001b3ULL;  // the parts' boundary
    }
    return value;
  };
  const std::uint64_t high = hash(0xcbf29ce484222325ULL);
  const std::uint64_t low = hash(0x84222325cbf29ce4ULL);
  char key[40];
  std::snprintf(key, sizeof key, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(high >> 32),
                static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                static_cast<unsigned>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return key;
}

std::unique_ptr<Transfer> MakeHttpTransfer(const ServiceConfig& service, const PageFields& page,
                                           const Secrets& secrets, double timeout_seconds) {
  return std::make_unique<HttpTransfer>(service, page, secrets, timeout_seconds);
}

}  // namespace ringwell::host::pager
