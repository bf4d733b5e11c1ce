// The e-mail channel: one message per page over SMTP, sent to the number
// itself or to the service's address template ("{number}@sms.example.net"),
// with the page text as a plain UTF-8 body and the service's subject, and a
// Message-ID on the sender's domain. The message is 7-bit whatever the text:
// a text beyond ASCII goes as quoted-printable, so no server has to take
// 8-bit data (libcurl cannot declare BODY=8BITMIME). With
// smtp:// the connection is upgraded with STARTTLS, and a server that does not
// offer it is refused unless the service sets starttls = false; smtps:// uses
// TLS from the start. The message counts as "Sent" once the server accepted
// it (its reply to the message's end); a rejection (sender, recipient or
// message), a TLS or login failure, or a timeout makes it "Failed" with the
// server's reply code and text.
//
// Thread-safety: a transfer belongs to the thread that runs it (transfer.h);
// MailMessage is a pure function.
#pragma once

#include <ctime>
#include <memory>
#include <string_view>

#include "pager/page_text.h"
#include "pager/pager_config.h"
#include "pager/transfer.h"

namespace ringwell::host::pager {

// A transfer for one page. Throws std::runtime_error when the recipient's
// address is not a mail address.
std::unique_ptr<Transfer> MakeMailTransfer(const ServiceConfig& service, const PageFields& page,
                                           const Secrets& secrets, double timeout_seconds);

// The message as it goes over the wire (header lines, blank line, body; CRLF
// line ends); `now` gives the Date header, `unique` the left part of the
// Message-ID, whose right part is the domain of `from`'s address.
std::string MailMessage(const std::string& from, const std::string& to, const std::string& subject,
                        const std::string& text, std::time_t now, const std::string& unique);

// `text` (CRLF line ends) as quoted-printable: bytes beyond ASCII and "=" as
// "=XX", white space before a line end encoded, lines of at most 76
// characters with soft breaks.
std::string QuotedPrintable(std::string_view text);

}  // namespace ringwell::host::pager
