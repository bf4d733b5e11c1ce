// The web hook channel: one HTTP(S) request per page, to the service's URL
// template with the number and text filled in (percent-encoded), carrying the
// configured fields as a JSON object or as form data, and the configured
// headers. Any 2xx status means "Sent"; every other status, and a transfer
// that fails or times out, means "Failed" with the status line (or the
// failure) as the reason. The start of the gateway's reply body goes into the
// protocol, so the report shows what the gateway said.
//
// Every request carries an Idempotency-Key that is the same for every attempt
// at one page (request ID, number and service) and differs between pages: a
// gateway that took a page but answered too late can tell the retry from a
// new page.
//
// Thread-safety: a transfer belongs to the thread that runs it (transfer.h).
#pragma once

#include <memory>

#include "pager/page_text.h"
#include "pager/pager_config.h"
#include "pager/transfer.h"

namespace ringwell::host::pager {

// A transfer for one page. Throws std::runtime_error when the page cannot be
// put into a request.
std::unique_ptr<Transfer> MakeHttpTransfer(const ServiceConfig& service, const PageFields& page,
                                           const Secrets& secrets, double timeout_seconds);

// The Idempotency-Key of the page to `number` of request `id` through
// `service`: 32 hexadecimal digits in the form of a UUID.
std::string IdempotencyKey(std::string_view id, std::string_view number, std::string_view service);

}  // namespace ringwell::host::pager
