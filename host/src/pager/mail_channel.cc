#include "pager/mail_channel.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "ringwell/common/guid.h"

namespace ringwell::host::pager {
namespace {

// The address of "Name <address>" or of a bare address.
std::string AddressOf(const std::string& mailbox) {
  const std::size_t open = mailbox.rfind('<');
  const std::size_t close = mailbox.rfind('>');
  if (open != std::string::npos && close != std::string::npos && open < close) {
    return mailbox.substr(open + 1, close - open - 1);
  }
  return mailbox;
}

bool IsMailAddress(const std::string& address) {
  const std::size_t at = address.rfind('@');
  return at != std::string::npos && at > 0 && at + 1 < address.size() &&
         address.find_first_of(" \t\r\n<>(),;:\"") == std::string::npos;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    encoded += kDigits[(group >> 18) & 63];
    encoded += kDigits[(group >> 12) & 63];
    encoded += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    encoded += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return encoded;
}

// A header value on one line; non-ASCII text as an RFC 2047 encoded word.
std::string HeaderText(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  const bool ascii = std::all_of(
      text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
  return ascii ? text : "=?UTF-8?B?" + Base64(text) + "?=";
}

class MailTransfer final : public Transfer {
 public:
  MailTransfer(const ServiceConfig& service, const PageFields& page, const Secrets& secrets,
               double timeout_seconds)
      : Transfer("smtp,smtps", timeout_seconds, service.ca_file) {
    const std::string to = FillTemplate(service.to, page, secrets);
    if (!IsMailAddress(to)) {
      throw std::runtime_error("\"" + to + "\" is not a mail address");
    }
    message_ = MailMessage(service.from, to, FillTemplate(service.subject, page, secrets),
                           page.text, std::time(nullptr), Guid::Generate().ToString());
    CURL* handle = easy();
    curl_easy_setopt(handle, CURLOPT_URL, service.server.c_str());
    curl_easy_setopt(handle, CURLOPT_USE_SSL,
                     static_cast<long>(service.starttls ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    if (!service.user.empty()) {
      curl_easy_setopt(handle, CURLOPT_USERNAME, FillTemplate(service.user, page, secrets).c_str());
      curl_easy_setopt(handle, CURLOPT_PASSWORD,
                       FillTemplate(service.password, page, secrets).c_str());
    }
    const std::string from = "<" + AddressOf(service.from) + ">";
    curl_easy_setopt(handle, CURLOPT_MAIL_FROM, from.c_str());
    Set(CURLOPT_MAIL_RCPT, AddTo(nullptr, "<" + to + ">"));
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message_.size()));
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, &MailTransfer::OnRead);
    curl_easy_setopt(handle, CURLOPT_READDATA, this);
    // The server's replies come through the debug callback (only the lines it
    // sends: what we send holds the password).
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, &MailTransfer::OnDebug);
    curl_easy_setopt(handle, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
    request_line_ = "E-mail to " + to + " through " + UrlOrigin(service.server);
  }

  PageOutcome Finish(CURLcode code) override {
    PageOutcome outcome;
    outcome.protocol.push_back(request_line_);
    const std::string reply = last_reply_.empty() ? "" : "SMTP " + last_reply_;
    if (code == CURLE_OK) {
      outcome.sent = true;
      outcome.protocol.push_back("Reply: " + (reply.empty() ? std::string("accepted") : reply));
      return outcome;
    }
    if (code != CURLE_OPERATION_TIMEDOUT && !refusal_.empty()) {
      outcome.error = "SMTP " + refusal_;
    } else {
      outcome.error = FailureText(code);
      if (!reply.empty()) outcome.protocol.push_back("Last reply: " + reply);
    }
    outcome.protocol.push_back("Failed: " + outcome.error);
    return outcome;
  }

 private:
  static size_t OnRead(char* buffer, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<MailTransfer*>(self);
    const std::size_t n = std::min(size * count, transfer->message_.size() - transfer->sent_);
    std::memcpy(buffer, transfer->message_.data() + transfer->sent_, n);
    transfer->sent_ += n;
    return n;
  }

  // Keeps the last complete reply line and the first refusal ("550 5.1.1
  // <x@y>: Recipient address rejected").
  static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
    if (type != CURLINFO_HEADER_IN) return 0;
    auto* transfer = static_cast<MailTransfer*>(self);
    std::string_view lines(data, size);
    while (!lines.empty()) {
      const std::size_t end = lines.find('\n');
      const std::string_view line = lines.substr(0, end);
      if (line.size() >= 4 && line[3] == ' ') {
        transfer->last_reply_ = OneLine(std::string(line));
        // The first refusal is the reason; the farewell after it is not.
        if ((line[0] == '4' || line[0] == '5') && transfer->refusal_.empty()) {
          transfer->refusal_ = transfer->last_reply_;
        }
      }
      if (end == std::string_view::npos) break;
      lines.remove_prefix(end + 1);
    }
    return 0;
  }

  std::string message_;
  std::size_t sent_ = 0;
  std::string request_line_;
  std::string last_reply_;
  std::string refusal_;
};

}  // namespace

std::string QuotedPrintable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  std::size_t line = 0;  // characters on the current encoded line
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      encoded += "\r\n";
      line = 0;
      ++i;
      continue;
    }
    const bool before_line_end =
        i + 1 == text.size() || (text[i + 1] == '\r' && i + 2 < text.size() && text[i + 2] == '\n');
    const bool plain =
        (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !before_line_end);
    const std::size_t width = plain ? 1 : 3;
    if (line + width > 75) {  // room for the "=" of a soft break
      encoded += "=\r\n";
      line = 0;
    }
    if (plain) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '=';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
    line += width;
  }
  return encoded;
}

std::string MailMessage(const std::string& from, const std::string& to, const std::string& subject,
                        const std::string& text, std::time_t now, const std::string& unique) {
  char date[64];
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  std::string body;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') continue;
    if (text[i] == '\n') {
      body += "\r\n";
    } else {
      body += text[i];
    }
  }
  const bool ascii = std::all_of(
      body.begin(), body.end(), [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
  const std::string address = AddressOf(from);
  const std::size_t at = address.rfind('@');
  const std::string domain = at == std::string::npos ? "localhost" : address.substr(at + 1);
  std::string id;
  for (char c : unique) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') id += c;
  }
  return "Date: " + std::string(date) + "\r\nFrom: " + OneLine(from) + "\r\nTo: " + to +
         "\r\nSubject: " + HeaderText(subject) + "\r\nMessage-ID: <" + id + "@" + domain +
         ">\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
         "Content-Transfer-Encoding: " +
         (ascii ? "7bit" : "quoted-printable") + "\r\n\r\n" +
         (ascii ? body : QuotedPrintable(body)) + "\r\n";
}

std::unique_ptr<Transfer> MakeMailTransfer(const ServiceConfig& service, const PageFields& page,
                                           const Secrets& secrets, double timeout_seconds) {
  return std::make_unique<MailTransfer>(service, page, secrets, timeout_seconds);
}

}  // namespace ringwell::host::pager
